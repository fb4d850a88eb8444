#pragma once
// The calibration resource "CALIBRATE" of type "ZEL": where the real code
// and data of a program lie, as the GNU linker laid them out. The linker's
// optional header counts file-aligned sizes and every initialised section
// (imports, resources, relocations, debug information) as data; the stack
// tracer needs the code and data themselves. The build writes the resource
// into the program's last link; at start-up the reporter writes the values
// into its own module's header (ApplyCalibration), from the addresses of a
// fixed routine and a fixed variable, so they hold wherever the module was
// loaded.
//
// Layout: five little-endian 32-bit values: code offset (the reference
// routine's distance from the code start; top bit set for a module other
// than the reporter's own), data offset (the reference variable's distance
// from the data start), code size, initialised-data size, uninitialised-
// data size.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "crash/analysis/PeImage.h"

namespace corvan::crash {

inline constexpr const char* kCalibrationName = "CALIBRATE";
inline constexpr const char* kCalibrationType = "ZEL";
inline constexpr std::size_t kCalibrationSize = 20;
inline constexpr std::uint32_t kOtherModuleFlag = 0x80000000;

struct ModuleCalibration {
  std::uint32_t CodeOffset = 0, DataOffset = 0;
  std::uint32_t CodeSize = 0, InitializedDataSize = 0, UninitializedDataSize = 0;
  bool operator==(const ModuleCalibration&) const = default;
};

std::array<std::uint8_t, kCalibrationSize> EncodeCalibration(const ModuleCalibration& c);
// None unless bytes hold at least the 20 bytes of the layout.
std::optional<ModuleCalibration> DecodeCalibration(std::span<const std::uint8_t> bytes);

// The calibration of a linked program (file layout) from its sections:
// code is the ".text" section, data runs from the start of ".data" to the
// end of ".bss" (initialised: up to ".bss"; without a ".bss" the ".data"
// section alone). codeRva and dataRva are the reference routine and
// variable. None when a section is missing or a reference lies outside
// its range.
std::optional<ModuleCalibration> CalibrationOfImage(const PeImage& image, std::uint32_t codeRva,
                                                    std::uint32_t dataRva);

// The optional header fields the calibration sets (RVAs and sizes).
struct CalibratedHeader {
  std::uint32_t BaseOfCode = 0, SizeOfCode = 0;
  std::uint32_t BaseOfData = 0, SizeOfInitializedData = 0, SizeOfUninitializedData = 0;
  bool operator==(const CalibratedHeader&) const = default;
};

// The header fields of the reporter's own module from the RVAs of the
// reference routine and variable. None when the calibration belongs to
// another module (top bit set) or does not fit into an image of imageSize
// bytes (a damaged resource must not write nonsense into the header).
std::optional<CalibratedHeader> OwnModuleHeader(const ModuleCalibration& c, std::uint32_t codeRva,
                                                std::uint32_t dataRva, std::uint32_t imageSize);

// Offsets of the fields inside a PE32 optional header.
inline constexpr std::uint32_t kSizeOfCodeField = 4, kSizeOfInitializedDataField = 8,
                               kSizeOfUninitializedDataField = 12, kBaseOfCodeField = 20,
                               kBaseOfDataField = 24;

}  // namespace corvan::crash

#ifdef _WIN32
#include <windows.h>

namespace corvan::crash {

// Reads module's calibration resource and writes the calibrated fields into
// its header in memory (the protection is restored afterwards); codeRef
// and dataRef are the fixed routine and variable the build measured the
// offsets from. False, and the header untouched, when there is no usable
// resource.
bool ApplyCalibration(HMODULE module, const void* codeRef, const void* dataRef);

}  // namespace corvan::crash
#endif
