// The parser and listing on this process's own code (runs under Wine).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "crash/analysis/LiveMemoryView.h"
#include "crash/analysis/x86/UnwindLandingPads.h"
#include "crash/analysis/zelDisAsm.h"

namespace corvan::crash {
namespace {

volatile int sideEffect = 0;

__attribute__((noinline)) void MayThrow(int value) {
  if (value == 42) throw std::runtime_error("42");
  sideEffect = sideEffect + value;
}

// Its catch block is reached only through the unwinder.
__attribute__((noinline)) int CatchesEverything(int value) {
  try {
    MayThrow(value);
  } catch (const std::exception&) {
    sideEffect = sideEffect + 1;
    return -1;
  }
  return value;
}

__attribute__((noinline)) int Plain(int a, int b) { return a * b + sideEffect; }

TEST(LiveDisAsm, DecodesOwnCode) {
  InstructionInfo info;
  EXPECT_TRUE(DecodeInstruction(reinterpret_cast<const void*>(&Plain), info));
  EXPECT_EQ(info.Start, AddressOf(reinterpret_cast<const void*>(&Plain)));
  const TDATryRead snapshot = BeginSafeReads();
  EXPECT_TRUE(DecodeInstruction(reinterpret_cast<const void*>(&Plain), info, &snapshot));
}

TEST(LiveDisAsm, CatchBlocksAreCodeOfTheFunction) {
  EXPECT_EQ(CatchesEverything(42), -1);
  const Address entry = AddressOf(reinterpret_cast<const void*>(&CatchesEverything));
  const TLiveMemoryView view;
  const std::vector<Address> pads = OwnLandingPads(view, entry);
  ASSERT_FALSE(pads.empty()) << "the unwind information lists the catch block";
  TFunctionInfo info;
  ParseFunction(reinterpret_cast<const void*>(&CatchesEverything), info);
  ASSERT_TRUE(info.Valid) << info.ErrorText;
  for (Address pad : pads) {
    EXPECT_TRUE(std::any_of(info.Areas.begin(), info.Areas.end(),
                            [pad](const CodeArea& a) { return a.First <= pad && a.Last >= pad; }))
        << std::hex << pad;
  }
  // The call to MayThrow is a far transfer (a call to another function).
  EXPECT_TRUE(
      std::any_of(info.FarTransfers.begin(), info.FarTransfers.end(), [](const FarTransfer& t) {
        return t.Destination == AddressOf(reinterpret_cast<const void*>(&MayThrow));
      }));
}

TEST(LiveDisAsm, ListingOfOwnFunction) {
  TFunctionInfo info;
  const void* entry = reinterpret_cast<const void*>(&Plain);
  const std::string text = DisassembleFunction(entry, entry, info, true, 0);
  ASSERT_TRUE(info.Valid);
  EXPECT_NE(text.find("; function entry point"), std::string::npos) << text;
  EXPECT_NE(text.find(">"), std::string::npos);
  EXPECT_NE(text.find("ret"), std::string::npos) << text;
}

TEST(LiveDisAsm, UnusableEntryAddress) {
  void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  TFunctionInfo info;
  ParseFunction(reserved, info);
  EXPECT_FALSE(info.Valid);
  EXPECT_EQ(info.ErrorCode, 87u);
  EXPECT_FALSE(info.ErrorText.empty());
  EXPECT_EQ(DisassembleFunction(reserved, reserved, info, false, 5), "");
  VirtualFree(reserved, 0, MEM_RELEASE);
}

TEST(LiveDisAsm, CallThroughAnImportCellHasItsTarget) {
  // GetTickCount is called through the import table: call [cell].
  TFunctionInfo info;
  ParseFunction(reinterpret_cast<const void*>(&BeginSafeReads), info);
  ASSERT_TRUE(info.Valid) << info.ErrorText;
  const auto virtualQuery = AddressOf(reinterpret_cast<const void*>(&VirtualQuery));
  EXPECT_TRUE(std::any_of(info.FarTransfers.begin(), info.FarTransfers.end(),
                          [&](const FarTransfer& t) { return t.Destination == virtualQuery; }));
}

}  // namespace
}  // namespace corvan::crash
