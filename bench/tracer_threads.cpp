// The stack tracer on a process of 20 waiting threads whose stacks hold 50
// to 500 frames of our own, each traced from its context as a bug report
// does. The yardstick is what the unwind tables cost for the same frames:
// each thread walks its own stack with _Unwind_Backtrace and looks every
// frame up in the map, timed in the thread itself. Prints milliseconds per
// thread, map lookups per second for 1 million random addresses (maps of
// growing size, to show the lookup stays logarithmic), and ends with
//   ratio tracer-vs-unwind <tracer time / unwind-and-lookup time>
#include <unwind.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "WinClock.h"
#include "common/WinHandles.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/analysis/zelStackTrace.h"

namespace {

using namespace corvan;
using namespace corvan::crash;

constexpr int kThreads = 20;
constexpr int kFewest = 50, kMost = 500;
// Each walk and trace is timed this often, the fastest run counting: the
// machine is shared.
constexpr int kRuns = 5;

using corvan::bench::Seconds;

struct TWorker {
  int frames = 0;
  // The function of each level: a square-free word (the differences of the
  // Thue-Morse sequence), so that no stretch of the stack repeats and the
  // tracer keeps every frame.
  ScopedHandle ready{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle thread;
  double unwindSeconds = 0, traceSeconds = 0;
  std::size_t unwound = 0, traced = 0;
  volatile int sink = 0;
};

struct TUnwindWalk {
  const TMapFile* map;
  std::size_t frames = 0;
  std::int32_t lines = 0;
};

_Unwind_Reason_Code VisitFrame(_Unwind_Context* context, void* arg) {
  auto* walk = static_cast<TUnwindWalk*>(arg);
  const Address ip = static_cast<Address>(_Unwind_GetIP(context));
  ++walk->frames;
  if (PublicAt(*walk->map, ip - 1)) walk->lines += LineAt(*walk->map, ip - 1) > 0;
  (void)SegmentAt(*walk->map, true, ip - 1);
  return _URC_NO_REASON;
}

__attribute__((noinline)) void Park(TWorker& w) {
  const TMapFileRef map = MapFileForAddress(0);
  w.unwindSeconds = 1e9;
  for (int run = 0; run < kRuns; ++run) {
    TUnwindWalk walk{map.get()};
    const double start = Seconds();
    _Unwind_Backtrace(VisitFrame, &walk);
    w.unwindSeconds = std::min(w.unwindSeconds, Seconds() - start);
    w.unwound = walk.frames;
  }
  SetEvent(w.ready.get());
  WaitForSingleObject(w.release.get(), INFINITE);
  asm volatile("" ::: "memory");
}

int LevelA(TWorker& w, int level);
int LevelB(TWorker& w, int level);
int LevelC(TWorker& w, int level);

int Next(TWorker& w, int level) {
  if (level >= w.frames) {
    Park(w);
    return 0;
  }
  const auto thueMorse = [](int n) { return __builtin_popcount(static_cast<unsigned>(n)) & 1; };
  switch (thueMorse(level + 1) - thueMorse(level) + 1) {
    case 0:
      return LevelA(w, level + 1);
    case 1:
      return LevelB(w, level + 1);
    default:
      return LevelC(w, level + 1);
  }
}

__attribute__((noinline)) int LevelA(TWorker& w, int level) {
  const int r = Next(w, level) + 1;
  w.sink = r;
  return r;
}
__attribute__((noinline)) int LevelB(TWorker& w, int level) {
  const int r = Next(w, level) * 3;
  w.sink = r;
  return r;
}
__attribute__((noinline)) int LevelC(TWorker& w, int level) {
  const int r = Next(w, level) ^ level;
  w.sink = r;
  return r;
}

DWORD WINAPI WorkerMain(void* arg) {
  try {
    auto* w = static_cast<TWorker*>(arg);
    w->sink = Next(*w, 0);
  } catch (...) {
  }
  return 0;
}

// The fastest of kRuns traces of the thread; the first trace of the
// process (cold caches) in coldSeconds when given.
void TraceWorker(TWorker& w, double* coldSeconds = nullptr) {
  HANDLE thread = w.thread.get();
  SuspendThread(thread);
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  GetThreadContext(thread, &context);
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(reinterpret_cast<void*>(context.Esp), &region, sizeof region);
  TTraceInput in;
  in.ShowRelativeAddresses = true;
  in.ShowRelativeLines = true;
  in.StackBottom = context.Esp;
  in.StackTop = static_cast<Address>(reinterpret_cast<std::uintptr_t>(region.BaseAddress)) +
                static_cast<Address>(region.RegionSize);
  in.FramePointer = context.Ebp;
  w.traceSeconds = 1e9;
  for (int run = 0; run < kRuns; ++run) {
    TTraceOutput out;
    const double start = Seconds();
    TraceThreadStack(in, out);
    const double seconds = Seconds() - start;
    if (coldSeconds && run == 0) *coldSeconds = seconds;
    w.traceSeconds = std::min(w.traceSeconds, seconds);
    // Lines of the text, as the report takes it (no item list asked for).
    w.traced = out.Text.empty() ? 0 : 1 + std::count(out.Text.begin(), out.Text.end(), '\n');
  }
  ResumeThread(thread);
}

// A map of n publics with a line each, 16 bytes apart.
std::shared_ptr<TMapFile> SyntheticMap(std::size_t n) {
  auto map = std::make_shared<TMapFile>();
  map->CodeStart = 0x401000;
  map->CodeEnd = map->CodeStart + static_cast<Address>(n * 16);
  map->Segments.push_back(
      {true, map->CodeStart, static_cast<std::uint32_t>(n * 16), "unit", false});
  map->Publics.reserve(n);
  map->Lines.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Address at = map->CodeStart + static_cast<Address>(i * 16);
    map->Publics.push_back({true, "f", at});
    map->Lines.push_back({static_cast<std::int32_t>(i + 1), at});
  }
  FinishMap(*map);
  return map;
}

// Lookups per second (public, segment and line) for 1 million random
// addresses inside map's code.
double LookupsPerSecond(const TMapFile& map) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<Address> pick(map.CodeStart, map.CodeEnd - 1);
  std::vector<Address> addresses(1000000);
  for (Address& a : addresses) a = pick(random);
  std::int64_t found = 0;
  const double start = Seconds();
  for (Address a : addresses) {
    found += PublicAt(map, a) != nullptr;
    found += SegmentAt(map, true, a) != nullptr;
    found += LineAt(map, a) > 0;
  }
  const double seconds = Seconds() - start;
  if (found == 0) std::printf("no lookup found anything\n");
  return static_cast<double>(addresses.size()) / seconds;
}

// PublicAddress lookups per second: each public of map by name and unit.
double NameLookupsPerSecond(const TMapFile& map) {
  struct TQuery {
    std::string unit, name;
  };
  std::vector<TQuery> queries;
  for (const TMfPublic& pub : map.Publics) {
    if (const TMfSegment* seg = SegmentAt(map, true, pub.SymbolAddress))
      queries.push_back({seg->UnitName, pub.SymbolName});
  }
  std::size_t found = 0;
  const double start = Seconds();
  for (const TQuery& q : queries) found += PublicAddress(map, true, q.unit, true, q.name) != 0;
  const double seconds = Seconds() - start;
  if (found != queries.size())
    std::printf("PublicAddress missed %zu publics\n", queries.size() - found);
  return static_cast<double>(queries.size()) / seconds;
}

int Run() {
  const double mapStart = Seconds();
  const TMapFileRef own = MapFileForAddress(0);
  const double mapSeconds = Seconds() - mapStart;
  if (!own->Loaded) {
    std::printf("the benchmark carries no symbol map\n");
    return 1;
  }
  std::vector<TWorker> workers(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    TWorker& w = workers[i];
    w.frames = kFewest + (kMost - kFewest) * i / (kThreads - 1);
    // Room for the deepest stack: three functions' frames per level.
    w.thread.reset(CreateThread(nullptr, 1 << 20, WorkerMain, &w, 0, nullptr));
    if (!w.thread) return 1;
    // One at a time, so that each unwinds its stack undisturbed.
    WaitForSingleObject(w.ready.get(), INFINITE);
  }
  double cold = 0;
  TraceWorker(workers[0], &cold);
  for (TWorker& w : workers) TraceWorker(w);
  for (TWorker& w : workers) SetEvent(w.release.get());
  for (TWorker& w : workers) WaitForSingleObject(w.thread.get(), INFINITE);

  double trace = 0, unwind = 0;
  for (int i = 0; i < kThreads; ++i) {
    const TWorker& w = workers[i];
    std::printf(
        "thread %2d: %3d levels, traced %3zu lines in %7.3f ms, unwound %3zu frames with "
        "lookups in %6.3f ms\n",
        i, w.frames, w.traced, w.traceSeconds * 1e3, w.unwound, w.unwindSeconds * 1e3);
    trace += w.traceSeconds;
    unwind += w.unwindSeconds;
  }
  std::printf("tracer %.3f ms per thread, unwind and lookup %.3f ms per thread\n",
              trace * 1e3 / kThreads, unwind * 1e3 / kThreads);
  std::printf(
      "once per process: loading the map %.3f ms, the first trace (parsing the "
      "functions) %.3f ms\n",
      mapSeconds * 1e3, cold * 1e3);
  std::printf("map lookups per second, this program's map (%zu publics, %zu lines): %.0f\n",
              own->Publics.size(), own->Lines.size(), LookupsPerSecond(*own));
  std::printf("PublicAddress lookups per second, this program's map: %.0f\n",
              NameLookupsPerSecond(*own));
  for (std::size_t n : {10000u, 100000u, 1000000u}) {
    std::printf("map lookups per second, %7zu publics and lines: %.0f\n", n,
                LookupsPerSecond(*SyntheticMap(n)));
  }
  std::printf("ratio tracer-vs-unwind %.2f\n", trace / unwind);
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (...) {
    return 1;
  }
}
