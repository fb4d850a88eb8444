#include "crash/core/ThreadTracer.h"

namespace corvan::crash {
namespace {

class AnalysingTracer final : public ThreadTracer {
 public:
  TraceResult Trace(const TraceRequest& r) override {
    TTraceInput input;
    input.HideUglyItems = r.hideUglyItems;
    input.ShowRelativeAddresses = r.showRelativeAddresses;
    input.ShowRelativeLines = r.showRelativeLines;
    TraceResult result;
    input.MinDebugInfos = &result.minimalDebugInfos;
    input.Abort = r.abort;
    input.PreparedStack = r.prepared && !r.prepared->empty() ? r.prepared : nullptr;
    input.FramePointer = r.framePointer;
    input.CreationAddress = r.creationAddress;
    input.StackTop = r.stackTop;
    input.StackBottom = r.stackBottom;
    input.IsExternalException = r.isExternalException;
    input.IsException = r.isException;
    input.CurrentAddress = r.currentAddress;
    TTraceOutput output;
    TraceThreadStack(input, output);
    result.text = std::move(output.Text);
    result.crc1 = output.Crc1;
    result.crc2 = output.Crc2;
    result.lineInfo = output.HasLineInfo;
    result.exceptionFunction = output.ExceptionFunctionEntry;
    result.exceptionAddress = output.ExceptionFunctionAddress;
    return result;
  }

  PreparedStack Prepare(std::uint32_t framePointer, std::uint32_t stackTop,
                        std::uint32_t stackBottom, bool isException,
                        std::uint32_t currentAddress) override {
    PreparedStack prepared;
    PrepareStackCandidates(framePointer, stackTop, stackBottom, prepared, isException,
                           currentAddress);
    return prepared;
  }

  std::string FormatLocation(std::uint32_t address, bool showRelativeAddress,
                             bool showRelativeLine) override {
    return FormatCodeLocation(address, showRelativeAddress, showRelativeLine);
  }
};

}  // namespace

ThreadTracer& CurrentThreadTracer() {
  static AnalysingTracer tracer;
  return tracer;
}

std::uint32_t RegionEnd(std::uint32_t address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info)
    return 0;
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.BaseAddress) +
                                    info.RegionSize);
}

}  // namespace corvan::crash
