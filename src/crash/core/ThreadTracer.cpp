#include "crash/core/ThreadTracer.h"

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/SafeRead.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

// Until the analysing tracer is linked in: the frame-pointer chain, each
// return address with its module.
class FramePointerTracer final : public ThreadTracer {
 public:
  TraceResult Trace(const TraceRequest& r) override {
    TraceResult result;
    std::vector<std::uint32_t> addresses;
    if (r.currentAddress) addresses.push_back(r.currentAddress);
    std::uint32_t frame = r.framePointer;
    while (frame >= r.stackBottom && frame + 8 <= r.stackTop && addresses.size() < 256) {
      std::uint32_t words[2];
      if (!SafeRead(reinterpret_cast<const void*>(frame), words, sizeof words)) break;
      if (words[1]) addresses.push_back(words[1]);
      if (words[0] <= frame) break;
      frame = words[0];
    }
    if (r.creationAddress) addresses.push_back(r.creationAddress);
    for (std::uint32_t address : addresses) {
      if (!result.text.empty()) result.text += "\r\n";
      result.text += FormatLocation(address, r.showRelativeAddresses, r.showRelativeLines);
    }
    result.exceptionAddress = r.currentAddress;
    return result;
  }

  PreparedStack Prepare(std::uint32_t, std::uint32_t, std::uint32_t, bool, std::uint32_t) override {
    return {};
  }

  std::string FormatLocation(std::uint32_t address, bool showRelativeAddress, bool) override {
    HMODULE module = nullptr;
    std::string path;
    std::string text = AddressText(address);
    if (showRelativeAddress) text += " +0";
    if (ModuleFromAddress(reinterpret_cast<const void*>(address), module, path)) {
      return text + " " + FileNamePart(path);
    }
    return text + " ???";
  }
};

}  // namespace

ThreadTracer& CurrentThreadTracer() {
  static FramePointerTracer tracer;
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
