#include <gtest/gtest.h>

#include <algorithm>

#include "crash/analysis/x86/FunctionParser.h"

namespace corvan::crash {
namespace {

constexpr Address Code = 0x00401000;

TFunctionInfo Parse(std::vector<std::uint8_t> bytes, const TRuntimeRoutines& routines = {},
                    const TParseOptions& options = {}) {
  TBlockMemoryView view;
  view.Add(Code, std::move(bytes));
  TFunctionInfo info;
  ParseFunction(view, Code, routines, info, options);
  return info;
}

std::vector<CodeArea> Sorted(std::vector<CodeArea> areas) {
  std::sort(areas.begin(), areas.end(),
            [](const CodeArea& a, const CodeArea& b) { return a.First < b.First; });
  return areas;
}

TEST(ParseFunction, StraightCodeIsOneArea) {
  const TFunctionInfo info = Parse({0x55, 0x8B, 0xEC, 0x5D, 0xC3, 0xCC, 0xCC});
  ASSERT_TRUE(info.Valid) << info.ErrorText;
  ASSERT_EQ(info.Areas.size(), 1u);
  EXPECT_EQ(info.Areas[0].First, Code);
  EXPECT_EQ(info.Areas[0].Last, Code + 4);
  EXPECT_EQ(info.LowestAddress, Code);
  EXPECT_EQ(info.CodeExtent, 5);
  EXPECT_EQ(info.CopySize, 9);
  EXPECT_FALSE(info.Patchable) << "5 bytes are not more than the jump";
}

TEST(ParseFunction, RegisterChangeSplitsTheArea) {
  // push ebp / mov eax, 5 / mov ebp, esp / pop ebp / ret
  const TFunctionInfo info = Parse({0x55, 0xB8, 5, 0, 0, 0, 0x8B, 0xEC, 0x5D, 0xC3});
  ASSERT_TRUE(info.Valid);
  const auto areas = Sorted(info.Areas);
  ASSERT_EQ(areas.size(), 2u);
  EXPECT_EQ(areas[0].Last, Code + 5);
  EXPECT_EQ(areas[1].First, Code + 6);
  EXPECT_EQ(areas[1].Registers[Eax], Code + 2);
  EXPECT_EQ(areas[1].ReachedFrom, 0u);
  EXPECT_TRUE(info.Patchable);
}

TEST(ParseFunction, CaseTableBehindTheJump) {
  std::vector<std::uint8_t> code = {
      0x83, 0xF8, 0x05,              // cmp eax, 5
      0x77, 0x00,                    // ja default (patched below)
      0xFF, 0x24, 0x85, 0, 0, 0, 0,  // jmp [eax*4 + table]
  };
  const Address table = Code + static_cast<Address>(code.size());
  for (int i = 0; i < 4; ++i) code[8 + i] = static_cast<std::uint8_t>(table >> (8 * i));
  const Address arms = table + 24;
  // entries: arm0 three times, arm1 twice, default once
  const Address arm0 = arms, arm1 = arms + 1, byDefault = arms + 2;
  for (Address target : {arm0, arm0, arm1, arm1, arm0, byDefault}) {
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<std::uint8_t>(target >> (8 * i)));
  }
  code.insert(code.end(), {0xC3, 0xC3, 0xC3});
  code[4] = static_cast<std::uint8_t>(byDefault - (Code + 5));
  const TFunctionInfo info = Parse(code);
  ASSERT_TRUE(info.Valid) << info.ErrorText;
  const auto areas = Sorted(info.Areas);
  ASSERT_EQ(areas.size(), 5u);
  EXPECT_TRUE(areas[1].IsCaseTable);
  EXPECT_EQ(areas[1].First, table);
  EXPECT_EQ(areas[1].Last - areas[1].First + 1, 24u);
  EXPECT_EQ(areas[2].First, arm0);
  EXPECT_EQ(areas[2].ReachedFrom, Code + 5);
  EXPECT_EQ(areas[3].First, arm1);
  EXPECT_EQ(areas[4].First, byDefault);
  EXPECT_EQ(areas[4].ReachedFrom, Code + 5) << "the nearest jump before it";
}

TEST(ParseFunction, FailuresAreReportedNotThrown) {
  TBlockMemoryView view;
  TFunctionInfo info;
  ParseFunction(view, 0x1000, {}, info);
  EXPECT_FALSE(info.Valid);
  EXPECT_EQ(info.ErrorCode, ErrorInvalidParameter);
  EXPECT_EQ(info.ErrorAddress, 0x1000u);

  const TFunctionInfo bad = Parse({0x55, 0x0F, 0x04});  // push ebp / invalid
  EXPECT_FALSE(bad.Valid);
  EXPECT_EQ(bad.ErrorCode, ErrorInvalidCode);
  EXPECT_EQ(bad.ErrorText, "Invalid code!");
  EXPECT_EQ(bad.ErrorAddress, Code + 3);

  // Running off the end of readable code is invalid too.
  EXPECT_FALSE(Parse({0x55, 0x8B, 0xEC}).Valid);
}

TEST(ParseFunction, HostileCodeHitsTheWorkCaps) {
  // Every instruction changes a register: one area per instruction.
  std::vector<std::uint8_t> code;
  for (int i = 0; i < 2000; ++i)
    code.insert(code.end(), {0xB8, static_cast<std::uint8_t>(i), 0, 0, 0});
  code.push_back(0xC3);
  TParseOptions options;
  options.Limits.MaxAreas = 100;
  const TFunctionInfo info = Parse(code, {}, options);
  EXPECT_FALSE(info.Valid);
  EXPECT_EQ(info.ErrorCode, ErrorTooMuchCode);

  // A long straight run against the instruction cap.
  std::vector<std::uint8_t> nops(5000, 0x90);
  nops.push_back(0xC3);
  options = {};
  options.Limits.MaxInstructions = 1000;
  EXPECT_EQ(Parse(nops, {}, options).ErrorCode, ErrorTooMuchCode);
  EXPECT_TRUE(Parse(nops).Valid);
}

TEST(ParseFunction, TransfersLeavingTheFunction) {
  // call far_away / call eax / call $+5 / jmp back into the code / ret
  std::vector<std::uint8_t> code = {
      0xE8, 0x00, 0x10, 0x00, 0x00,  // call Code+5+0x1000 (outside the region)
      0xFF, 0xD0,                    // call eax: unknown target
      0xE8, 0x00, 0x00, 0x00, 0x00,  // call $+5: no transfer
      0x74, 0x01,                    // jz +1
      0xC3, 0xC3,
  };
  const TFunctionInfo info = Parse(code);
  ASSERT_TRUE(info.Valid) << info.ErrorText;
  ASSERT_EQ(info.FarTransfers.size(), 1u);
  EXPECT_TRUE(info.FarTransfers[0].IsCall);
  EXPECT_EQ(info.FarTransfers[0].Destination, Code + 5 + 0x1000);
  EXPECT_EQ(info.FarTransfers[0].DestinationField, Code + 1);
  ASSERT_EQ(info.OpenTransfers.size(), 1u);
  EXPECT_EQ(info.OpenTransfers[0].InstrAddress, Code + 5);
  EXPECT_EQ(Sorted(info.Areas).back().First, Code + 15);
}

TEST(ParseFunction, RuntimeRoutinesShapeTheAreas) {
  TRuntimeRoutines routines;
  routines.Terminate = 0x00402000;
  routines.OnHandler = 0x00402010;
  // call OnHandler / table: 1 entry (class 0, handler) / ret / handler: ret
  std::vector<std::uint8_t> code = {0xE8, 0, 0, 0, 0};
  const Address call = Code;
  const Address rel = routines.OnHandler - (call + 5);
  for (int i = 0; i < 4; ++i) code[1 + i] = static_cast<std::uint8_t>(rel >> (8 * i));
  const Address handler = Code + 5 + 12;
  code.insert(code.end(), {1, 0, 0, 0, 0, 0, 0, 0});
  for (int i = 0; i < 4; ++i) code.push_back(static_cast<std::uint8_t>(handler >> (8 * i)));
  // handler: call Terminate, then garbage that must not be parsed
  const Address rel2 = routines.Terminate - (handler + 5);
  code.push_back(0xE8);
  for (int i = 0; i < 4; ++i) code.push_back(static_cast<std::uint8_t>(rel2 >> (8 * i)));
  code.insert(code.end(), {0x0F, 0x04});
  const TFunctionInfo info = Parse(code, routines);
  ASSERT_TRUE(info.Valid) << info.ErrorText << " at " << std::hex << info.ErrorAddress;
  const auto areas = Sorted(info.Areas);
  ASSERT_EQ(areas.size(), 3u);
  EXPECT_TRUE(areas[1].IsHandlerTable);
  EXPECT_EQ(areas[1].Last - areas[1].First + 1, 12u);
  EXPECT_EQ(areas[2].First, handler);
  EXPECT_EQ(areas[2].Last, handler + 4);
}

TEST(ParseFunction, LandingPadsAreCode) {
  // ret / pad: ret   (nothing jumps to the pad: only the unwinder does)
  TParseOptions options;
  options.LandingPads = [](const TMemoryView&, Address entry) {
    return std::vector<Address>{entry + 1};
  };
  const TFunctionInfo info = Parse({0xC3, 0xC3}, {}, options);
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(info.Areas.size(), 2u);
  EXPECT_EQ(info.CodeExtent, 2);
}

TEST(ParseFunction, ExceptionFrameHandlerIsCode) {
  // push offset handler / push dword ptr fs:[eax] / ret / handler: ret
  std::vector<std::uint8_t> code = {0x68, 0, 0, 0, 0, 0x64, 0xFF, 0x30, 0xC3, 0xC3};
  const Address handler = Code + 9;
  for (int i = 0; i < 4; ++i) code[1 + i] = static_cast<std::uint8_t>(handler >> (8 * i));
  const TFunctionInfo info = Parse(code);
  ASSERT_TRUE(info.Valid);
  EXPECT_EQ(Sorted(info.Areas).back().First, handler);
}

TEST(ParseFunction, PatchabilityNeedsMovableTransfers) {
  // jz +0x10 at the entry: a short conditional jump can be widened
  std::vector<std::uint8_t> code = {0x74, 0x04, 0x90, 0x90, 0x90, 0x90, 0xC3, 0xC3};
  EXPECT_TRUE(Parse(code).Patchable);
  // jecxz cannot be widened
  code[0] = 0xE3;
  EXPECT_FALSE(Parse(code).Patchable);
}

TEST(IsRaiseRoutineName, KnowsBothRuntimes) {
  EXPECT_TRUE(IsRaiseRoutineName("System.@RaiseExcept"));
  EXPECT_TRUE(IsRaiseRoutineName("__cxa_throw"));
  EXPECT_TRUE(IsRaiseRoutineName("_Unwind_RaiseException"));
  EXPECT_TRUE(IsRaiseRoutineName("RaiseException"));
  EXPECT_FALSE(IsRaiseRoutineName("CreateFileA"));
}

}  // namespace
}  // namespace corvan::crash
