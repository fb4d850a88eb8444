#include <windows.h>

#include <cstring>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/ModuleCalibration.h"

namespace corvan::crash {

bool ApplyCalibration(HMODULE module, const void* codeRef, const void* dataRef) {
  HRSRC info = FindResourceA(module, kCalibrationName, kCalibrationType);
  HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return false;
  const auto calibration =
      DecodeCalibration({static_cast<const std::uint8_t*>(bytes), SizeofResource(module, info)});
  const IMAGE_NT_HEADERS* headers = ImageNtHeaders(module);
  if (!calibration || !headers || headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    return false;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(module);
  const auto rva = [base](const void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p) - base);
  };
  const auto header = OwnModuleHeader(*calibration, rva(codeRef), rva(dataRef),
                                      headers->OptionalHeader.SizeOfImage);
  if (!header) return false;
  // The header page is read-only; the five fields lie between SizeOfCode
  // and BaseOfData.
  auto* optional = reinterpret_cast<std::uint8_t*>(
      const_cast<IMAGE_OPTIONAL_HEADER32*>(&headers->OptionalHeader));
  std::uint8_t* first = optional + kSizeOfCodeField;
  const std::size_t span = kBaseOfDataField + 4 - kSizeOfCodeField;
  DWORD old = 0;
  if (!VirtualProtect(first, span, PAGE_READWRITE, &old)) return false;
  const auto put = [optional](std::uint32_t field, std::uint32_t value) {
    std::memcpy(optional + field, &value, sizeof value);
  };
  put(kBaseOfCodeField, header->BaseOfCode);
  put(kSizeOfCodeField, header->SizeOfCode);
  put(kBaseOfDataField, header->BaseOfData);
  put(kSizeOfInitializedDataField, header->SizeOfInitializedData);
  put(kSizeOfUninitializedDataField, header->SizeOfUninitializedData);
  VirtualProtect(first, span, old, &old);
  return true;
}

}  // namespace corvan::crash
