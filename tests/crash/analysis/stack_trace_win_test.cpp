// Traces of this test program's threads against the frames its unwind
// tables give at the same moment (_Unwind_Backtrace, taken in the traced
// thread itself), named from the map that the build embedded in it. The
// program is built twice: with frame pointers, where every frame of ours
// must be traced with its function and line, and without them
// (CORVAN_TRACE_WITHOUT_FRAME_POINTERS), where the call test and the code
// parse alone must find at least 95 % of them.
#include <gtest/gtest.h>
#include <unwind.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

#include "common/WinHandles.h"
#include "crash/analysis/zelDisAsm.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/analysis/zelStackTrace.h"

namespace corvan::crash {
namespace {

#ifdef CORVAN_TRACE_WITHOUT_FRAME_POINTERS
constexpr const char* kBuild = "without frame pointers";
constexpr double kRequired = 0.95;
#else
constexpr const char* kBuild = "with frame pointers";
constexpr double kRequired = 1.0;
#endif

// Return addresses, innermost first.
using TFrames = std::vector<Address>;

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* arg) {
  static_cast<TFrames*>(arg)->push_back(static_cast<Address>(_Unwind_GetIP(context)));
  return _URC_NO_REASON;
}

// The frames outside the caller of Unwind. The caller's own frame is left
// out: it moves on from here, so each test checks it in its own way.
__attribute__((noinline)) TFrames Unwind() {
  TFrames frames;
  _Unwind_Backtrace(CollectFrame, &frames);
  frames.erase(frames.begin(), frames.begin() + std::min<std::size_t>(frames.size(), 2));
  asm volatile("" ::: "memory");
  return frames;
}

struct TSnapshot {
  TTraceOutput trace;
  // Frames that must appear: return addresses (the call before each one)
  // and, for frames the unwinder cannot reach, exact call lines.
  TFrames truth;
  struct TCallSite {
    std::string function;  // the map's name
    std::int32_t line = 0;
  };
  std::vector<TCallSite> callSites;
};

struct TAgreement {
  std::size_t ours = 0, matched = 0;
};

TAgreement& Total() {
  static TAgreement total;
  return total;
}

std::int32_t ItemLine(const TStackItem& item) {
  return item.LineNumber ? item.LineNumber : item.RelativeLine;
}

// Every truth frame inside this program must be a traced item: the call
// just before the return address, named and numbered as the map does there.
TAgreement Compare(const TSnapshot& s, const char* scenario) {
  const TMapFileRef map = MapFileForAddress(0);
  TAgreement a;
  std::string missing;
  for (const Address ip : s.truth) {
    if (ip <= map->CodeStart || ip > map->CodeEnd) continue;
    const TMfPublic* pub = PublicAt(*map, ip - 1);
    if (!pub) continue;
    ++a.ours;
    const std::int32_t line = LineAt(*map, ip - 1);
    bool found = false;
    for (const TStackItem& item : s.trace.Items) {
      found |= item.CodeAddress < ip && ip - item.CodeAddress <= 7 &&
               item.FunctionName == pub->SymbolName && ItemLine(item) == line && line > 0;
    }
    if (found) {
      ++a.matched;
    } else {
      char text[32];
      std::snprintf(text, sizeof text, " %08x", ip);
      missing += text;
    }
  }
  for (const TSnapshot::TCallSite& site : s.callSites) {
    ++a.ours;
    bool found = false;
    for (const TStackItem& item : s.trace.Items)
      found |= item.FunctionName == site.function && ItemLine(item) == site.line;
    if (found) {
      ++a.matched;
    } else {
      missing += " " + site.function + ":" + std::to_string(site.line);
    }
  }
  std::printf("agreement %s, %s: %zu of %zu frames%s%s\n", kBuild, scenario, a.matched, a.ours,
              missing.empty() ? "" : "; missing", missing.c_str());
  Total().ours += a.ours;
  Total().matched += a.matched;
  return a;
}

void ExpectAgreement(const TSnapshot& s, const char* scenario, std::size_t minimumFrames) {
  std::printf("%s\n", s.trace.Text.c_str());
  const TAgreement a = Compare(s, scenario);
  EXPECT_GE(a.ours, minimumFrames) << scenario;
  EXPECT_GE(static_cast<double>(a.matched), kRequired * static_cast<double>(a.ours))
      << scenario << "\n"
      << s.trace.Text;
}

// Traces the calling thread and unwinds it at the same place.
__attribute__((noinline)) void TakeSnapshot(TSnapshot& s) {
  TTraceInput in;
  in.ShowRelativeAddresses = true;
  in.ShowRelativeLines = true;
  in.ListItems = true;
  TraceThreadStack(in, s.trace);
  TFrames frames = Unwind();
  s.truth.insert(s.truth.end(), frames.begin(), frames.end());
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
  ASSERT_TRUE(MapFileForAddress(0)->Loaded) << "the test program carries no map";
  TSnapshot s;
  Outer(s);
  ExpectAgreement(s, "recursion", 5);
  // The recursion appears as a repeated stretch only once.
  std::size_t recurse = 0;
  for (const TStackItem& item : s.trace.Items)
    recurse += item.FunctionName.find("Recurse") != std::string::npos;
  EXPECT_GE(recurse, 1u);
}

// The innermost line of a trace of the calling thread is the call of the
// tracer, written once.
TEST(StackTraceLive, InnermostFrameOfTheCallingThreadOnce) {
  TSnapshot s;
  TakeSnapshot(s);
  ASSERT_GE(s.trace.Items.size(), 2u);
  EXPECT_NE(s.trace.Items[0].FunctionName.find("TakeSnapshot"), std::string::npos) << s.trace.Text;
  EXPECT_EQ(s.trace.Items[1].FunctionName.find("TakeSnapshot"), std::string::npos) << s.trace.Text;
}

// --- other threads, traced from this one while they wait ---

struct TWorker {
  int depth = 0;
  int result = 0;
  ScopedHandle ready{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle thread;
  TSnapshot snapshot;
};

__attribute__((noinline)) void Park(TWorker& w) {
  TFrames frames = Unwind();
  w.snapshot.truth.insert(w.snapshot.truth.end(), frames.begin(), frames.end());
  SetEvent(w.ready.get());
  WaitForSingleObject(w.release.get(), INFINITE);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) int Descend(TWorker& w, int depth) {
  int r = 0;
  if (depth == 0) {
    Park(w);
  } else if (depth % 2) {
    r = Descend(w, depth - 1) * 3;  // two call sites, so the stack is no plain repetition
  } else {
    r = Descend(w, depth - 1) + 1;
  }
  asm volatile("" ::: "memory");
  return r;
}

DWORD WINAPI WorkerMain(void* arg) {
  try {
    auto* w = static_cast<TWorker*>(arg);
    w->result = Descend(*w, w->depth);
  } catch (...) {
  }
  return 0;
}

// The trace of a waiting thread from its context, as a report builds it.
void TraceOtherThread(HANDLE thread, TTraceOutput& out) {
  ASSERT_NE(SuspendThread(thread), DWORD(-1));
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  ASSERT_TRUE(GetThreadContext(thread, &context));
  MEMORY_BASIC_INFORMATION region{};
  ASSERT_TRUE(VirtualQuery(reinterpret_cast<void*>(context.Esp), &region, sizeof region));
  TTraceInput in;
  in.ShowRelativeAddresses = true;
  in.ShowRelativeLines = true;
  in.ListItems = true;
  in.StackBottom = context.Esp;
  in.StackTop = AddressOf(region.BaseAddress) + static_cast<Address>(region.RegionSize);
  in.FramePointer = context.Ebp;
  TraceThreadStack(in, out);
  ResumeThread(thread);
}

TEST(StackTraceLive, WaitingThreadsFromTheirContexts) {
  std::vector<TWorker> workers(4);
  for (std::size_t i = 0; i < workers.size(); ++i) {
    workers[i].depth = 3 + static_cast<int>(i) * 5;
    workers[i].thread.reset(CreateThread(nullptr, 0, WorkerMain, &workers[i], 0, nullptr));
    ASSERT_TRUE(workers[i].thread);
  }
  for (TWorker& w : workers) ASSERT_EQ(WaitForSingleObject(w.ready.get(), 10000), WAIT_OBJECT_0);
  for (TWorker& w : workers) TraceOtherThread(w.thread.get(), w.snapshot.trace);
  for (TWorker& w : workers) SetEvent(w.release.get());
  for (TWorker& w : workers) WaitForSingleObject(w.thread.get(), 10000);
  for (TWorker& w : workers) {
    // No address of the tracing thread stands on top of another's stack.
    for (const TStackItem& item : w.snapshot.trace.Items)
      EXPECT_EQ(item.FunctionName.find("WaitingThreadsFromTheirContexts"), std::string::npos);
    bool parked = false;
    for (const TStackItem& item : w.snapshot.trace.Items)
      parked |= item.FunctionName.find("Park") != std::string::npos;
    EXPECT_TRUE(parked) << w.snapshot.trace.Text;
    ExpectAgreement(w.snapshot, "waiting thread", static_cast<std::size_t>(w.depth) + 1);
  }
}

// --- callbacks through Windows ---

// The unwinder stops at the first Windows frame: the frames outside the
// callback are unwound by the caller before it calls into Windows, and its
// own frame is known by the line of that call.
struct TCallback {
  TSnapshot snapshot;
  int calls = 0;
};

BOOL CALLBACK EnumCallback(HWND, LPARAM arg) {
  try {
    auto* c = reinterpret_cast<TCallback*>(arg);
    if (c->calls++ == 0) TakeSnapshot(c->snapshot);
  } catch (...) {
  }
  return FALSE;
}

__attribute__((noinline)) void EnumerateWindows(TCallback& c, std::int32_t& callLine) {
  TFrames outer = Unwind();
  callLine = __LINE__ + 1;
  EnumWindows(EnumCallback, reinterpret_cast<LPARAM>(&c));
  c.snapshot.truth.insert(c.snapshot.truth.end(), outer.begin(), outer.end());
  asm volatile("" ::: "memory");
}

std::string MapName(const void* function) {
  const TMapFileRef map = MapFileForAddress(0);
  const TMfPublic* pub = PublicAt(*map, AddressOf(function));
  return pub ? pub->SymbolName : std::string();
}

TEST(StackTraceLive, AcrossAnEnumWindowsCallback) {
  // A window of our own, so that there is one to enumerate.
  HWND window = CreateWindowExA(0, "STATIC", "trace", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_TRUE(window);
  TCallback c;
  std::int32_t line = 0;
  EnumerateWindows(c, line);
  DestroyWindow(window);
  ASSERT_EQ(c.calls, 1);
  c.snapshot.callSites.push_back({MapName(reinterpret_cast<const void*>(&EnumerateWindows)), line});
  ExpectAgreement(c.snapshot, "EnumWindows callback", 4);
}

constexpr UINT kSnapshotMessage = WM_USER + 7;

LRESULT CALLBACK SnapshotWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    if (message == kSnapshotMessage) {
      TakeSnapshot(*reinterpret_cast<TSnapshot*>(lParam));
      return 1;
    }
  } catch (...) {
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

__attribute__((noinline)) void SendToWindow(HWND window, TSnapshot& s, std::int32_t& callLine) {
  TFrames outer = Unwind();
  callLine = __LINE__ + 1;
  SendMessageA(window, kSnapshotMessage, 0, reinterpret_cast<LPARAM>(&s));
  s.truth.insert(s.truth.end(), outer.begin(), outer.end());
  asm volatile("" ::: "memory");
}

TEST(StackTraceLive, AcrossAWindowProcedure) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = SnapshotWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "TraceTestWindow";
  ASSERT_TRUE(RegisterClassA(&wc));
  HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_TRUE(window);
  TSnapshot s;
  std::int32_t line = 0;
  SendToWindow(window, s, line);
  DestroyWindow(window);
  UnregisterClassA(wc.lpszClassName, wc.hInstance);
  s.callSites.push_back({MapName(reinterpret_cast<const void*>(&SendToWindow)), line});
  ExpectAgreement(s, "window procedure", 4);
}

// --- an exception in flight: a destructor run by the unwinder ---

struct TSnapshotOnUnwind {
  TSnapshot& s;
  ~TSnapshotOnUnwind() {
    if (std::uncaught_exceptions() > 0) TakeSnapshot(s);
  }
};

__attribute__((noinline)) void Throw(int depth) {
  if (depth == 0) throw std::runtime_error("in flight");
  Throw(depth - 1);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void ThrowThroughGuard(TSnapshot& s) {
  TSnapshotOnUnwind guard{s};
  Throw(3);
  asm volatile("" ::: "memory");
}

TEST(StackTraceLive, ExceptionInFlight) {
  TSnapshot s;
  EXPECT_THROW(ThrowThroughGuard(s), std::runtime_error);
  ExpectAgreement(s, "exception in flight", 4);
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

// Runs last (tests run in the order of definition): the figure per build.
TEST(StackTraceLive, AgreementOfThisBuild) {
  const TAgreement& t = Total();
  std::printf("agreement %s: %zu of %zu frames (%.1f %%)\n", kBuild, t.matched, t.ours,
              t.ours ? 100.0 * static_cast<double>(t.matched) / static_cast<double>(t.ours) : 0.0);
  EXPECT_GE(static_cast<double>(t.matched), kRequired * static_cast<double>(t.ours));
}

}  // namespace
}  // namespace corvan::crash
