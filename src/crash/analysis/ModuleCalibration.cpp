#include "crash/analysis/ModuleCalibration.h"

namespace corvan::crash {
namespace {

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t Get32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

const PeSection* SectionNamed(const PeImage& image, std::string_view name) {
  for (const PeSection& s : image.Sections()) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

bool Inside(std::uint32_t rva, std::uint32_t start, std::uint32_t size) {
  return rva >= start && rva - start < size;
}

}  // namespace

std::array<std::uint8_t, kCalibrationSize> EncodeCalibration(const ModuleCalibration& c) {
  std::array<std::uint8_t, kCalibrationSize> bytes{};
  Put32(&bytes[0], c.CodeOffset);
  Put32(&bytes[4], c.DataOffset);
  Put32(&bytes[8], c.CodeSize);
  Put32(&bytes[12], c.InitializedDataSize);
  Put32(&bytes[16], c.UninitializedDataSize);
  return bytes;
}

std::optional<ModuleCalibration> DecodeCalibration(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kCalibrationSize) return std::nullopt;
  return ModuleCalibration{Get32(&bytes[0]), Get32(&bytes[4]), Get32(&bytes[8]), Get32(&bytes[12]),
                           Get32(&bytes[16])};
}

std::optional<ModuleCalibration> CalibrationOfImage(const PeImage& image, std::uint32_t codeRva,
                                                    std::uint32_t dataRva) {
  const PeSection* text = SectionNamed(image, ".text");
  const PeSection* data = SectionNamed(image, ".data");
  if (!image.Valid() || image.Is64() || !text || !data) return std::nullopt;
  const PeSection* bss = SectionNamed(image, ".bss");
  ModuleCalibration c;
  c.CodeSize = text->virtualSize;
  if (bss && bss->virtualAddress > data->virtualAddress) {
    c.InitializedDataSize = bss->virtualAddress - data->virtualAddress;
    c.UninitializedDataSize = bss->virtualSize;
  } else {
    c.InitializedDataSize = data->virtualSize;
  }
  if (!Inside(codeRva, text->virtualAddress, c.CodeSize) ||
      !Inside(dataRva, data->virtualAddress, c.InitializedDataSize + c.UninitializedDataSize)) {
    return std::nullopt;
  }
  c.CodeOffset = codeRva - text->virtualAddress;
  c.DataOffset = dataRva - data->virtualAddress;
  return c;
}

std::optional<CalibratedHeader> OwnModuleHeader(const ModuleCalibration& c, std::uint32_t codeRva,
                                                std::uint32_t dataRva, std::uint32_t imageSize) {
  if ((c.CodeOffset & kOtherModuleFlag) || c.CodeOffset > codeRva || c.DataOffset > dataRva)
    return std::nullopt;
  CalibratedHeader h{codeRva - c.CodeOffset, c.CodeSize, dataRva - c.DataOffset,
                     c.InitializedDataSize, c.UninitializedDataSize};
  const std::uint64_t codeEnd = std::uint64_t(h.BaseOfCode) + h.SizeOfCode;
  const std::uint64_t dataEnd =
      std::uint64_t(h.BaseOfData) + h.SizeOfInitializedData + h.SizeOfUninitializedData;
  if (codeEnd > imageSize || dataEnd > imageSize || codeRva >= codeEnd || dataRva >= dataEnd)
    return std::nullopt;
  return h;
}

}  // namespace corvan::crash
