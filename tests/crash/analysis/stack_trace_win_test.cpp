// Traces of this test program's own thread against the frames its unwind
// tables give at the same moment (_Unwind_Backtrace), named from the map
// that the build embedded in it.
#include <gtest/gtest.h>
#include <unwind.h>

#include <cstdio>

#include "crash/analysis/zelDisAsm.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/analysis/zelStackTrace.h"

namespace corvan::crash {
namespace {

struct TSnapshot {
  TTraceOutput trace;
  std::vector<Address> unwound;  // return addresses, innermost first
};

_Unwind_Reason_Code Collect(_Unwind_Context* context, void* arg) {
  auto* list = static_cast<std::vector<Address>*>(arg);
  list->push_back(static_cast<Address>(_Unwind_GetIP(context)));
  return _URC_NO_REASON;
}

__attribute__((noinline)) void TakeSnapshot(TSnapshot& s) {
  TTraceInput in;
  in.ShowRelativeAddresses = true;
  in.ShowRelativeLines = true;
  TraceThreadStack(in, s.trace);
  _Unwind_Backtrace(Collect, &s.unwound);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) int Recurse(TSnapshot& s, int depth) {
  if (depth == 0) {
    TakeSnapshot(s);
    return 0;
  }
  const int r = Recurse(s, depth - 1) + 1;
  asm volatile("" ::: "memory");
  return r;
}

__attribute__((noinline)) void Outer(TSnapshot& s) {
  Recurse(s, 3);
  asm volatile("" ::: "memory");
}

TEST(StackTraceLive, OwnFramesAgreeWithTheUnwindTables) {
  TSnapshot s;
  Outer(s);
  std::printf("%s\n", s.trace.Text.c_str());
  ASSERT_FALSE(s.trace.Items.empty());
  const TMapFileRef map = MapFileForAddress(0);
  ASSERT_TRUE(map->Loaded) << "the test program carries no map";

  // Every unwound frame of this program (after TakeSnapshot's own) must be
  // a traced item: the call just before the return address, with the
  // function the map names there. Recursion shows once per distinct frame.
  std::size_t ours = 0, matched = 0;
  for (std::size_t i = 1; i < s.unwound.size(); ++i) {
    const Address ip = s.unwound[i];
    if (ip <= map->CodeStart || ip > map->CodeEnd) continue;
    const TMfPublic* pub = PublicAt(*map, ip - 1);
    if (!pub) continue;
    ++ours;
    for (const TStackItem& item : s.trace.Items) {
      if (item.CodeAddress < ip && ip - item.CodeAddress <= 7 &&
          item.FunctionName == pub->SymbolName && item.LineNumber + item.RelativeLine > 0) {
        ++matched;
        break;
      }
    }
  }
  std::printf("frames of our own: %zu, traced with function and line: %zu\n", ours, matched);
  EXPECT_GT(ours, 5u);
  EXPECT_EQ(matched, ours);
  // The recursion appears as a repeated stretch only once.
  std::size_t recurse = 0;
  for (const TStackItem& item : s.trace.Items)
    recurse += item.FunctionName.find("Recurse") != std::string::npos;
  EXPECT_GE(recurse, 1u);
}

TEST(StackTraceLive, CodeLocationOfAFunction) {
  const Address at = AddressOf(reinterpret_cast<const void*>(&TakeSnapshot));
  const std::string text = FormatCodeLocation(at + 1, true, true);
  EXPECT_NE(text.find("stack_trace_win_test.cpp"), std::string::npos) << text;
  EXPECT_NE(text.find("TakeSnapshot"), std::string::npos) << text;
  EXPECT_EQ(FormatCodeLocation(0x10, true, false), "00000010 +0 ???");
  EXPECT_EQ(SymbolNameAt(at),
            "stack_trace_win_test.cpp.corvan::crash::(anonymous "
            "namespace)::TakeSnapshot(corvan::crash::(anonymous namespace)::TSnapshot&)");
}

}  // namespace
}  // namespace corvan::crash
