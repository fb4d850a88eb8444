#pragma once
// The call-stack analysis the bug report uses, behind one interface: the
// report asks for one thread's call stack, the interception points for the
// light collection of return-address candidates made before unwinding
// (the prepared stack), and both for single code locations.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/analysis/zelStackTrace.h"

namespace corvan::crash {

// Candidates in the tracer's form (element 0 holds the count).
using PreparedStack = TDAPreStackItem;

struct TraceRequest {
  bool hideUglyItems = false, showRelativeAddresses = true, showRelativeLines = true;
  std::uint32_t framePointer = 0;
  std::uint32_t stackTop = 0, stackBottom = 0;
  std::uint32_t currentAddress = 0;  // the exception address of the crashed thread
  std::uint32_t creationAddress = 0;
  bool isException = false, isExternalException = false;
  const PreparedStack* prepared = nullptr;   // may be null
  const std::atomic<bool>* abort = nullptr;  // polled; may be null
};

struct TraceResult {
  std::string text;
  std::uint32_t crc1 = 0, crc2 = 0;
  bool lineInfo = false;
  std::uint32_t exceptionFunction = 0;         // entry of the function with the exception
  std::uint32_t exceptionAddress = 0;          // the item's address inside that function
  std::vector<std::string> minimalDebugInfos;  // "module|text"
};

class ThreadTracer {
 public:
  virtual TraceResult Trace(const TraceRequest& request) = 0;
  virtual PreparedStack Prepare(std::uint32_t framePointer, std::uint32_t stackTop,
                                std::uint32_t stackBottom, bool isException,
                                std::uint32_t currentAddress) = 0;
  virtual std::string FormatLocation(std::uint32_t address, bool showRelativeAddress,
                                     bool showRelativeLine) = 0;

 protected:
  ~ThreadTracer() = default;
};

// The tracer in use: the stack tracer of the analysis library over the
// process's own memory.
ThreadTracer& CurrentThreadTracer();

// The end of the committed region that holds address (a stack's top).
std::uint32_t RegionEnd(std::uint32_t address);

}  // namespace corvan::crash
