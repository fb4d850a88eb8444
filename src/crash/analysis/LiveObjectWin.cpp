#include <windows.h>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LiveObject.h"
#include "crash/analysis/SafeRead.h"

namespace corvan::crash {
namespace {

class ProcessAddressSpace final : public AddressSpace {
 public:
  bool Read(std::uint32_t address, void* out, std::size_t size) const override {
    return SafeRead(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), out, size);
  }
  std::optional<ModuleExtents> ModuleOf(std::uint32_t address) const override {
    HMODULE module;
    std::string path;
    if (!ModuleFromAddress(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                           module, path) ||
        !ImageNtHeaders(module)) {
      return std::nullopt;
    }
    LiveModuleBytes bytes(module);
    const PeImage image(bytes, ImageLayout::Mapped);
    const auto base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(module));
    return ModuleExtents{base + image.CodeBase(), base + image.CodeBase() + image.CodeSize(),
                         base + image.DataBase(),
                         base + image.DataBase() + image.InitializedDataSize()};
  }
};

}  // namespace

bool IsLiveObject(const void* pointer) {
  return IsLiveObject(ProcessAddressSpace(),
                      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer)));
}

}  // namespace corvan::crash
