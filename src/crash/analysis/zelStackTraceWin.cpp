// The stack tracer on the running process: the live memory view, the
// modules loaded in it and their symbol maps.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "common/GuardedFrame.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LiveMemoryView.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/StackTracer.h"
#include "crash/analysis/x86/UnwindLandingPads.h"
#include "crash/analysis/zelDisAsm.h"
#include "crash/analysis/zelStackTrace.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

class TLiveTraceEnvironment final : public TTraceEnvironment {
 public:
  // guard (may be null) is the frame a processor fault inside the trace
  // unwinds to; it holds the fault's record.
  explicit TLiveTraceEnvironment(TSafeReadSession& reads, const GuardedFrame* guard = nullptr)
      : view_(reads), guard_(guard) {}

  const TMemoryView& View() const override { return view_; }

  bool DescribeModule(Address base, TTraceModule& module) const override {
    HMODULE handle = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(base));
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(handle, path, sizeof path);
    if (n == 0 || n >= sizeof path) return false;
    const LiveModuleBytes bytes(handle);
    const PeImage image(bytes, ImageLayout::Mapped);
    if (!image.Valid() || image.Is64()) return false;
    TMapFile ranges;
    SetModuleRanges(ranges, image, bytes, base);
    module.Base = base;
    module.FileName = FileNamePart(std::string(path, n));
    module.CodeStart = ranges.CodeStart;
    module.CodeEnd = ranges.CodeEnd;
    module.DataStart = ranges.DataStart;
    module.DataEnd = ranges.DataEnd;
    module.EntryPoint = image.EntryPointRva() ? base + image.EntryPointRva() : 0;
    for (const PeExport& e : image.Exports()) {
      if (e.forwarder.empty() && e.rva) module.Exports.push_back(base + e.rva);
    }
    std::sort(module.Exports.begin(), module.Exports.end());
    module.Map = MapFileForAddress(base);
    module.IsMainProgram = handle == GetModuleHandleA(nullptr);
    return true;
  }

  Address OwnModuleBase() const override { return AddressOf(OwnModule()); }
  const TRuntimeRoutines& OwnRoutines() const override { return OwnRuntimeRoutines(); }
  TParseOptions ParseOptionsFor(Address moduleBase) const override {
    TParseOptions options;
    if (moduleBase == OwnModuleBase()) options.LandingPads = OwnLandingPads;
    return options;
  }
  Address FaultAddress() const override {
    return guard_ ? AddressOf(guard_->faultRecord.ExceptionAddress) : 0;
  }
  std::string LocationLine(Address address) const override {
    return FormatCodeLocation(address, false, false);
  }

 private:
  TLiveMemoryView view_;
  const GuardedFrame* guard_;
};

TStackTracer& Tracer() {
  static auto* tracer = new TStackTracer;  // process-wide caches; outlive static destructors
  return *tracer;
}

// One trace at a time: a report's completion, the send assistant and
// zelTraceProcess may trace at once. The holder may be a thread another
// trace has suspended, so a waiter gives up after a while. Recursive: a
// fault inside a trace throws, and every throw prepares its stack.
constexpr auto kTracerWait = std::chrono::seconds(5);
std::recursive_timed_mutex& TracerLock() {
  static auto* lock = new std::recursive_timed_mutex;  // outlives static destructors
  return *lock;
}

Address StackTopOfThisThread() {
  Address top;
  asm("movl %%fs:4, %0" : "=r"(top));  // the thread block's stack base (upper end)
  return top;
}

Address CurrentStackPointer() { return AddressOf(__builtin_frame_address(0)); }

}  // namespace

void TraceThreadStack(const TTraceInput& input, TTraceOutput& output) {
  output = TTraceOutput{};
  try {
    TTraceInput resolved = input;
    if (!resolved.StackTop) resolved.StackTop = StackTopOfThisThread();
    if (!resolved.StackBottom) resolved.StackBottom = CurrentStackPointer();
    // The caller's own return address stands for the calling thread only;
    // another thread's stack (bottom given) has no such address.
    if (!resolved.IsException && !resolved.CurrentAddress && !input.StackBottom) {
      resolved.CurrentAddress = AddressOf(__builtin_return_address(0));
    }
    if (!resolved.FramePointer && !input.StackBottom)
      resolved.FramePointer = AddressOf(__builtin_frame_address(0));
    std::unique_lock lock(TracerLock(), kTracerWait);
    if (!lock) {
      output.Text = InternalErrorText("CollectPossibleStackItems", {}, {});
      return;
    }
    // A fault inside the tracer ends the trace with an internal error,
    // also on the reporter's own threads.
    GuardedFrame guard(GuardedFrame::Step);
    TSafeReadSession reads;
    const TLiveTraceEnvironment env(reads, &guard);
    Tracer().Trace(env, resolved, output);
  } catch (...) {
    output = TTraceOutput{};
    output.Text = InternalErrorText("CollectPossibleStackItems", {}, {});
  }
}

std::uint32_t PrepareStackCandidates(Address framePointer, Address stackTop, Address stackBottom,
                                     TDAPreStackItem& prepared, bool isException,
                                     Address currentAddress) {
  try {
    if (!stackTop) stackTop = StackTopOfThisThread();
    if (!stackBottom) stackBottom = CurrentStackPointer();
    // Every throw of the program prepares its stack: none waits for a
    // trace; it goes without the candidates instead.
    std::unique_lock lock(TracerLock(), std::try_to_lock);
    if (!lock) {
      prepared.clear();
      return 0;
    }
    TSafeReadSession reads;
    const TLiveTraceEnvironment env(reads);
    return Tracer().Prepare(env, framePointer, stackTop, stackBottom, prepared, isException,
                            currentAddress);
  } catch (...) {
    prepared.clear();
    return 0;
  }
}

std::string FormatCodeLocation(Address address, bool showRelativeAddress, bool showRelativeLine) {
  std::string text = AddressText(address);
  TCodeLocation location;
  if (!LookupAddress(address, location)) {
    return text + (showRelativeAddress ? " +0" : "") + " ???";
  }
  if (showRelativeAddress) {
    char offset[16];
    std::snprintf(offset, sizeof offset, " +%x", address - location.PublicAddress);
    text += offset;
  }
  text += " " + location.ModuleName + " " + location.UnitName + " ";
  if (location.Line > 0) text += std::to_string(location.Line) + " ";
  if (showRelativeLine) {
    int startLine = 0;
    Address from = 0, to = 0;
    LineNumberAt(location.PublicAddress, startLine, from, to);
    const bool startKnown = startLine > 0 && location.Line >= startLine;
    text += "+" + std::to_string(startKnown ? location.Line - startLine : 0) + " ";
  }
  return text + location.PublicName;
}

void ClearStackTraceCaches() {
  std::lock_guard lock(TracerLock());
  Tracer().ClearCaches();
}

}  // namespace corvan::crash
