#pragma once
// What a thread knew about its latest exception at the moment it was
// raised, before unwinding overwrote the frames: the throw site or fault
// context, the stack bytes the dump shows and the return-address
// candidates of the stack. Kept per thread; the interception points read
// it when the exception ends in one of them.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/core/ReportText.h"
#include "crash/core/ThreadTracer.h"

namespace corvan::crash {

// The stack kept from the raise point: enough for the frames between a
// throw and its catch, which the minidump gets back; the report's stack
// dump shows the first kStackDumpBytes.
inline constexpr std::size_t kCapturedStackBytes = 16 * 1024;

struct CapturedException {
  const void* identity = nullptr;  // the thrown object
  std::uint32_t address = 0;       // throw site or faulting instruction
  bool fault = false;              // a processor fault turned into an exception
  CONTEXT context{};
  EXCEPTION_RECORD record{};             // of a fault; ExceptionCode 0 for a throw
  std::vector<std::uint8_t> stackBytes;  // kCapturedStackBytes at most, from context.Esp
  PreparedStack prepared;
};

// The calling thread's state (created on first use).
CapturedException& ThreadCapture();
void ClearThreadCapture();

// Fills capture from context as a processor fault would leave it (also
// for a C++ throw, with a context made at the throw site).
void CaptureStack(CapturedException& capture, const CONTEXT& context, std::uint32_t address,
                  bool fault);

// The next C++ throw on this thread is the fault held here: its context,
// not the throw site's, describes it.
void SetPendingFault(const EXCEPTION_RECORD& record, const CONTEXT& context);

// The stack top of the calling thread (its information block).
std::uint32_t CurrentStackTop();

}  // namespace corvan::crash
