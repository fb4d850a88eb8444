// The stack tracer's phases on hand-made stacks and code.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>

#include "crash/analysis/MapTables.h"
#include "crash/analysis/StackTracer.h"

namespace corvan::crash {
namespace {

constexpr Address kBase = 0x400000;
constexpr Address kCode = 0x401000;
constexpr Address kStackTop = 0x100100;

// A module "test.exe" with a map, and a stack, in a block memory view.
class TFakeProcess final : public TTraceEnvironment {
 public:
  TBlockMemoryView view;
  TTraceModule module;
  TRuntimeRoutines routines;

  TFakeProcess() {
    module.Base = kBase;
    module.FileName = "test.exe";
    module.CodeStart = kCode;
    module.CodeEnd = kCode + 0x100;
    module.DataStart = 0x402000;
    module.DataEnd = 0x402100;
    module.IsMainProgram = true;
  }
  const TMemoryView& View() const override { return view; }
  bool DescribeModule(Address base, TTraceModule& out) const override {
    if (base != kBase) return false;
    out = module;
    return true;
  }
  Address OwnModuleBase() const override { return 0x10000000; }
  Address FaultAddress() const override { return faultAt; }
  std::string LocationLine(Address address) const override {
    return "line of " + std::to_string(address);
  }
  Address faultAt = 0;
  const TRuntimeRoutines& OwnRoutines() const override { return routines; }
  TParseOptions ParseOptionsFor(Address) const override { return {}; }
};

std::vector<std::uint8_t> Call(Address from, Address to) {
  const std::uint32_t rel = to - (from + 5);
  return {0xE8, static_cast<std::uint8_t>(rel), static_cast<std::uint8_t>(rel >> 8),
          static_cast<std::uint8_t>(rel >> 16), static_cast<std::uint8_t>(rel >> 24)};
}

// The 64 bytes below kStackTop, zero but for the given (slot, value) pairs.
void AddStack(TFakeProcess& p, std::initializer_list<std::pair<Address, std::uint32_t>> slots) {
  std::vector<std::uint8_t> stack(0x40, 0);
  for (const auto& [at, v] : slots) {
    for (int i = 0; i < 4; ++i)
      stack[at - (kStackTop - 0x40) + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  p.view.Add(kStackTop - 0x40, stack);
}

// main (0x401000) calls f (0x401010), which calls g (0x401020); g faults
// at 0x401023. Each has a frame: push ebp / mov ebp, esp.
void BuildCode(TFakeProcess& p) {
  std::vector<std::uint8_t> code(0x100, 0xCC);
  auto put = [&](Address at, std::vector<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), code.begin() + (at - kCode));
  };
  for (Address f : {kCode, kCode + 0x10, kCode + 0x20}) put(f, {0x55, 0x89, 0xE5});
  put(kCode + 3, Call(kCode + 3, kCode + 0x10));
  put(kCode + 8, {0x5D, 0xC3});
  put(kCode + 0x13, Call(kCode + 0x13, kCode + 0x20));
  put(kCode + 0x18, {0x5D, 0xC3});
  put(kCode + 0x23, {0x8B, 0x00, 0x5D, 0xC3});  // mov eax, [eax]
  p.view.Add(kCode, code, kBase);

  auto map = std::make_shared<TMapFile>();
  map->CodeStart = kCode;
  map->CodeEnd = kCode + 0x100;
  map->Segments = {{true, kCode, 0x10, "main.cpp", false},
                   {true, kCode + 0x10, 0x10, "f.cpp", false},
                   {true, kCode + 0x20, 0x10, "g.cpp", false}};
  map->Publics = {{true, "main", kCode}, {true, "f", kCode + 0x10}, {true, "g", kCode + 0x20}};
  map->Lines = {{10, kCode},        {11, kCode + 3},    {20, kCode + 0x10},
                {21, kCode + 0x13}, {30, kCode + 0x20}, {31, kCode + 0x23}};
  FinishMap(*map);
  p.module.Map = map;
}

void BuildThreeFunctions(TFakeProcess& p) {
  BuildCode(p);
  // The stack, from its top down: main's frame, f's, g's, then junk.
  AddStack(p, {{0x1000F0, 0x1000F8},      // main's saved frame pointer
               {0x1000E8, 0x1000F0},      // f's
               {0x1000EC, kCode + 8},     // return into main
               {0x1000E0, 0x1000E8},      // g's
               {0x1000E4, kCode + 0x18},  // return into f
               {0x1000DC, kCode + 1}});   // not after a call: ignored
}

// The duplicate-detection checksums of a trace, recomputed with zlib from
// its listed lines: a line with a module, a function and its offset counts
// as the CRC register started at the offset over its lower-cased module,
// unit and function names, any other line as its address; Crc1 is the
// first line's value, Crc2 that value run over the little-endian values of
// the lines below it.
std::pair<std::uint32_t, std::uint32_t> ExpectedCrcs(const TTraceOutput& out) {
  auto run = [](std::uint32_t reg, const void* data, std::size_t n) {
    return ~static_cast<std::uint32_t>(crc32(~reg, static_cast<const Bytef*>(data), n));
  };
  std::uint32_t crc1 = 0, crc2 = 0;
  for (std::size_t i = 0; i < out.Items.size(); ++i) {
    const TStackItem& item = out.Items[i];
    std::uint32_t v = item.CodeAddress;
    if (item.Module != "???" && !item.FunctionName.empty()) {
      std::string names = item.Module + item.UnitName + item.FunctionName;
      for (char& c : names) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      v = run(item.RelativeAddress, names.data(), names.size());
    }
    if (i == 0) {
      crc1 = crc2 = v;
    } else {
      const std::uint8_t bytes[4] = {
          static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
      crc2 = run(crc2, bytes, 4);
    }
  }
  return {crc1, crc2};
}

TTraceInput FaultInG() {
  TTraceInput in;
  in.ShowRelativeAddresses = true;
  in.ShowRelativeLines = true;
  in.ListItems = true;
  in.FramePointer = 0x1000E0;
  in.StackTop = kStackTop;
  in.StackBottom = 0x1000D8;
  in.IsException = true;
  in.IsExternalException = true;
  in.CurrentAddress = kCode + 0x23;
  return in;
}

TEST(StackTracer, CallTestPatterns) {
  TBlockMemoryView view;
  // call dword ptr [eax+8] (FF 50 08) ends at 0x1008; jmp eax (FF E0) at 0x1010.
  view.Add(0x1000, {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x50, 0x08, 0x90, 0x90, 0x90, 0x90,
                    0x90, 0x90, 0xFF, 0xE0, 0x90, 0x90, 0x90, 0xE8, 0,    0,    0,    0});
  EXPECT_TRUE(EndsInCall(view, 0x1008));
  EXPECT_FALSE(EndsInCall(view, 0x1010));
  EXPECT_TRUE(EndsInCall(view, 0x1018));   // call rel32
  EXPECT_FALSE(EndsInCall(view, 0x1004));  // reaches before the block
  EXPECT_FALSE(EndsInCall(view, 7));
}

TEST(StackTracer, FramesOfAFaultWithColumns) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  TTraceOutput out;
  tracer.Trace(process, FaultInG(), out);
  EXPECT_EQ(out.Text,
            "00401023 +3 test.exe g.cpp    31 +1 g\r\n"
            "00401013 +3 test.exe f.cpp    21 +1 f\r\n"
            "00401003 +3 test.exe main.cpp 11 +1 main");
  ASSERT_EQ(out.Items.size(), 3u);
  EXPECT_EQ(out.Items[1].FunctionName, "f");
  EXPECT_EQ(out.Items[1].RelativeAddress, 3u);
  EXPECT_EQ(out.ExceptionAddress, kCode + 0x23);
  EXPECT_EQ(out.ExceptionFunctionEntry, kCode + 0x20);
  EXPECT_TRUE(out.HasLineInfo);
  EXPECT_EQ(std::make_pair(out.Crc1, out.Crc2), ExpectedCrcs(out));

  // The same trace again (caches warm, no item list asked for) gives the
  // same text and checksums.
  TTraceInput textOnly = FaultInG();
  textOnly.ListItems = false;
  TTraceOutput again;
  tracer.Trace(process, textOnly, again);
  EXPECT_EQ(again.Text, out.Text);
  EXPECT_EQ(again.Crc1, out.Crc1);
  EXPECT_EQ(again.Crc2, out.Crc2);
  EXPECT_EQ(again.ExceptionFunctionEntry, out.ExceptionFunctionEntry);
  EXPECT_TRUE(again.Items.empty());
}

TEST(StackTracer, PlainColumnsWithoutRelativeParts) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  TTraceInput in = FaultInG();
  in.ShowRelativeAddresses = false;
  in.ShowRelativeLines = false;
  TTraceOutput out;
  tracer.Trace(process, in, out);
  EXPECT_EQ(out.Text,
            "00401023 test.exe g.cpp    31 g\r\n"
            "00401013 test.exe f.cpp    21 f\r\n"
            "00401003 test.exe main.cpp 11 main");
}

TEST(StackTracer, UnreadableStackGivesNothing) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  TTraceInput in = FaultInG();
  in.StackTop = kStackTop + 0x1000;  // beyond the stack block
  TTraceOutput out;
  tracer.Trace(process, in, out);
  EXPECT_TRUE(out.Text.empty());
  EXPECT_TRUE(out.Items.empty());
}

std::atomic<bool> abortFlag{false};

TEST(StackTracer, AbortDuringDeepChecksGivesEmptyText) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  tracer.PhaseHook = [](const char* phase) {
    if (std::string(phase) == "InDeepChecks") abortFlag = true;
  };
  TTraceInput in = FaultInG();
  in.Abort = &abortFlag;
  TTraceOutput out;
  tracer.Trace(process, in, out);
  EXPECT_TRUE(out.Text.empty());
  abortFlag = false;
}

TEST(StackTracer, FaultInAPhaseNamesThePhase) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  tracer.PhaseHook = [](const char* phase) {
    if (std::string(phase) == "RealizeOptimalLinkChains") throw std::runtime_error("fault");
  };
  TTraceOutput out;
  TTraceInput notException = FaultInG();
  notException.IsException = false;
  tracer.Trace(process, notException, out);
  EXPECT_EQ(out.Text, ">> internal error in RealizeOptimalLinkChains");
  // A processor fault names its place, an exception trace the exception's.
  process.faultAt = 77;
  tracer.Trace(process, FaultInG(), out);
  EXPECT_EQ(out.Text,
            ">> internal error in RealizeOptimalLinkChains:\r\nline of 77\r\n"
            ">> original exception location: \r\nline of " +
                std::to_string(kCode + 0x23));
}

TEST(StackTracer, PreparedCandidatesKeepFrameSlots) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  TDAPreStackItem prepared;
  const std::uint32_t count =
      tracer.Prepare(process, 0x1000E0, kStackTop, 0x1000D8, prepared, true, kCode + 0x23);
  ASSERT_EQ(count, 2u);
  // Packed records: copy the fields before comparing.
  const std::uint32_t counted = prepared[0].ReturnAddress, outer = prepared[1].ReturnAddress,
                      inner = prepared[2].ReturnAddress;
  const bool keep = prepared[1].ForceKeep;
  EXPECT_EQ(counted, 2u);
  EXPECT_EQ(outer, kCode + 8);
  EXPECT_TRUE(keep);
  EXPECT_EQ(inner, kCode + 0x18);

  // A trace from the prepared candidates names the same frames.
  TTraceInput in = FaultInG();
  in.PreparedStack = &prepared;
  TTraceOutput out;
  tracer.Trace(process, in, out);
  EXPECT_EQ(out.Items.size(), 3u);
  EXPECT_EQ(out.Items.back().FunctionName, "main");
}

// The calling thread traced from inside g: the current address is g's
// return into f, and the slot holding it is the same frame.
TEST(StackTracer, CallersOwnReturnSlotIsTheTopItemOnce) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  TTraceInput in = FaultInG();
  in.IsException = in.IsExternalException = false;
  in.CurrentAddress = kCode + 0x18;
  TTraceOutput out;
  tracer.Trace(process, in, out);
  EXPECT_EQ(out.Text,
            "00401013 +3 test.exe f.cpp    21 +1 f\r\n"
            "00401003 +3 test.exe main.cpp 11 +1 main");
  EXPECT_EQ(out.ExceptionAddress, kCode + 0x13);
}

// Without the slot (a stack that does not hold it) the current address is
// still added as the top item.
TEST(StackTracer, CurrentAddressWithoutItsSlotStaysTheTopItem) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  TStackTracer tracer;
  TTraceInput in = FaultInG();
  in.IsException = in.IsExternalException = false;
  in.CurrentAddress = kCode + 0x23;
  TTraceOutput out;
  tracer.Trace(process, in, out);
  ASSERT_EQ(out.Items.size(), 3u);
  EXPECT_EQ(out.Items[0].CodeAddress, kCode + 0x23);
  EXPECT_EQ(out.Items[0].FunctionName, "g");
}

// A function whose first instruction the line table puts after the line
// of the call (an inlined prologue): the line is shown plain, never "+-".
TEST(StackTracer, StartLineBeyondTheLineGivesAPlainLine) {
  TFakeProcess process;
  BuildThreeFunctions(process);
  auto map = std::make_shared<TMapFile>(*process.module.Map);
  for (TMfLine& line : map->Lines) {
    if (line.LineAddress == kCode + 0x10) line.LineNo = 25;
  }
  process.module.Map = map;
  TStackTracer tracer;
  TTraceOutput out;
  tracer.Trace(process, FaultInG(), out);
  ASSERT_EQ(out.Items.size(), 3u);
  EXPECT_EQ(out.Items[1].LineNumber, 0);
  EXPECT_EQ(out.Items[1].RelativeLine, 21);
  EXPECT_EQ(out.Text.find("+-"), std::string::npos) << out.Text;
  EXPECT_EQ(out.Items[2].LineNumber, 11);
  EXPECT_EQ(out.Items[2].RelativeLine, 1);
}

// The fault in g traced on the stack down to bottom, without a frame
// chain: only the fault is certain.
TTraceOutput TraceWithoutFrameChain(const TFakeProcess& process, Address bottom) {
  TStackTracer tracer;
  TTraceInput in = FaultInG();
  in.FramePointer = 0;
  in.StackBottom = bottom;
  TTraceOutput out;
  tracer.Trace(process, in, out);
  return out;
}

std::vector<std::string> NamesOf(const TTraceOutput& out) {
  std::vector<std::string> names;
  for (const TStackItem& item : out.Items) names.push_back(item.FunctionName);
  return names;
}

// Return addresses A, B, A, B, A (outermost first), no frame chain: the
// inner block B, A repeats the one before it and goes; of A, B, A the
// chain of callers from the fault in g keeps B (f calls g) and A (main
// calls f).
TEST(StackTracer, RepeatedStretchIsRemovedOnce) {
  TFakeProcess process;
  BuildCode(process);
  const Address a = kCode + 8, b = kCode + 0x18;
  AddStack(process, {{0x1000FC, a}, {0x1000F8, b}, {0x1000F4, a}, {0x1000F0, b}, {0x1000EC, a}});
  const TTraceOutput out = TraceWithoutFrameChain(process, 0x1000E8);
  EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"g", "f", "main"})) << out.Text;
  EXPECT_EQ(std::make_pair(out.Crc1, out.Crc2), ExpectedCrcs(out));
}

// No frame chain: the fault in g is the only certain item. Outside it, a
// return into f (called from main) is a leftover of an earlier call: main
// does not call g, so no chain of callers reaches it.
TEST(StackTracer, LeftoversOutsideTheOnlyCertainItemGo) {
  TFakeProcess process;
  BuildCode(process);
  AddStack(process, {{0x1000FC, kCode + 0x18}, {0x1000F8, kCode + 8}, {0x1000F4, kCode + 0x18}});
  const TTraceOutput out = TraceWithoutFrameChain(process, 0x1000F0);
  EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"g", "f", "main"})) << out.Text;
}

TEST(StackTracer, InternalErrorText) {
  EXPECT_EQ(InternalErrorText("ComposeResult", "00401000 x", "00402000 y"),
            ">> internal error in ComposeResult:\r\n00401000 x\r\n>> original exception location: "
            "\r\n00402000 y");
}

}  // namespace
}  // namespace corvan::crash
