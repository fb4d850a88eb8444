#include "crash/core/CapturedException.h"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <typeinfo>

#include "crash/analysis/SafeRead.h"
#include "crash/core/ExceptionPipeline.h"

namespace corvan::crash {
namespace {

struct ThreadState {
  CapturedException capture;
  bool pendingFault = false;
  CONTEXT pendingContext{};
  EXCEPTION_RECORD pendingRecord{};
  bool busy = false;  // a throw inside the capture itself is not captured again
};

ThreadState& State() {
  thread_local ThreadState state;
  return state;
}

std::uint32_t Word(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

// The call instruction before a return address (E8 rel32), or the
// return address itself when it is not one.
std::uint32_t CallSite(std::uint32_t returnAddress) {
  std::uint8_t opcode = 0;
  if (SafeRead(reinterpret_cast<const void*>(returnAddress - 5), &opcode, 1) && opcode == 0xE8) {
    return returnAddress - 5;
  }
  return returnAddress;
}

__attribute__((noinline)) void CaptureThrow(const void* object, const void* frame,
                                            const void* returnAddress) noexcept {
  ThreadState& s = State();
  if (s.busy) return;
  s.busy = true;
  try {
    if (s.pendingFault) {
      s.pendingFault = false;
      CaptureStack(s.capture, s.pendingContext, Word(s.pendingRecord.ExceptionAddress), true);
      s.capture.record = s.pendingRecord;
    } else {
      CONTEXT context{};
      context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
      RtlCaptureContext(&context);
      // The thrower's view: its frame pointer, its stack after the call.
      context.Ebp = *static_cast<const DWORD*>(frame);
      context.Esp = Word(frame) + 8;
      context.Eip = CallSite(Word(returnAddress));
      CaptureStack(s.capture, context, context.Eip, false);
      s.capture.record = EXCEPTION_RECORD{};
    }
    s.capture.identity = object;
  } catch (...) {
  }
  s.busy = false;
}

}  // namespace

CapturedException& ThreadCapture() { return State().capture; }

void ClearThreadCapture() { State().capture = CapturedException{}; }

std::uint32_t CurrentStackTop() {
  // fs:[4] is the stack base of the thread's information block.
  std::uint32_t base = 0;
  asm("movl %%fs:4, %0" : "=r"(base));
  return base;
}

void CaptureStack(CapturedException& capture, const CONTEXT& context, std::uint32_t address,
                  bool fault) {
  capture.address = address;
  capture.fault = fault;
  capture.context = context;
  const std::uint32_t end = RegionEnd(context.Esp);
  const std::size_t size =
      end > context.Esp ? std::min<std::size_t>(kCapturedStackBytes, end - context.Esp) : 0;
  capture.stackBytes.resize(size);
  capture.stackBytes.resize(SafeReadUpTo(reinterpret_cast<const void*>(context.Esp),
                                         capture.stackBytes.data(), size, nullptr));
  capture.prepared = CurrentThreadTracer().Prepare(context.Ebp, RegionEnd(context.Esp), context.Esp,
                                                   true, address);
}

void SetPendingFault(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  ThreadState& s = State();
  s.pendingFault = true;
  s.pendingContext = context;
  s.pendingRecord = record;
  s.pendingRecord.ExceptionRecord = nullptr;
}

}  // namespace corvan::crash

// The raise point: sees every C++ throw of the program before unwinding
// (linked with --wrap=__cxa_throw).
extern "C" [[noreturn]] void __real___cxa_throw(void* object, std::type_info* type,
                                                void (*destroy)(void*));
extern "C" [[noreturn]] __attribute__((noinline)) void __wrap___cxa_throw(void* object,
                                                                          std::type_info* type,
                                                                          void (*destroy)(void*)) {
  corvan::crash::CaptureThrow(object, __builtin_frame_address(0), __builtin_return_address(0));
  __real___cxa_throw(object, type, destroy);
}

// The end of a handled exception (--wrap=__cxa_end_catch): hidden
// exceptions are reported here, and the captured state of the exception
// that ends is dropped.
extern "C" void __real___cxa_end_catch();
extern "C" void __wrap___cxa_end_catch() {
  corvan::crash::EndOfCatch();
  __real___cxa_end_catch();
}
