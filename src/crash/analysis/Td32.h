#pragma once
// TD32 debug information (the Borland linker's format), inside an image or
// in a ".tds" file beside it.
//
//   data[0..4)   signature "FB09" or "FB0A"
//   data[4..8)   offset of the first subsection directory
//   directory    u16 header size, u16 entry size, u32 entry count,
//                u32 offset of the next directory (0: last), u32 flags;
//                entries: u16 subsection type, u16 module, u32 offset, u32 size
//
// Subsections read: names (0x130), segments per unit (0x120), line numbers
// (0x127), then the global publics (0x129) or, without them, the global
// symbols (0x125). Offsets inside the data are relative to its start and
// offsets inside a subsection to the subsection's start. Every offset and
// length is checked against the data, and a directory chain that repeats
// itself or leaves the data ends there: damaged data gives less, never a
// read outside it or a loop.
#include <cstdint>
#include <span>

#include "crash/analysis/zelMapFile.h"

namespace corvan::crash {

inline constexpr std::uint16_t kTd32Names = 0x130;
inline constexpr std::uint16_t kTd32Module = 0x120;
inline constexpr std::uint16_t kTd32SourceModule = 0x127;
inline constexpr std::uint16_t kTd32GlobalPublics = 0x129;
inline constexpr std::uint16_t kTd32GlobalSymbols = 0x125;

// Starts with a TD32 signature.
bool IsTd32(std::span<const std::uint8_t> data);

// The TD32 data that a PE file (file layout) names in its debug directory:
// the raw data of the first entry that starts with the signature. Empty
// when there is none.
std::span<const std::uint8_t> Td32DataInImage(std::span<const std::uint8_t> file);

// Adds the segments, lines and publics of data to map, whose code and data
// ranges must be set: segment 1 is the code section, addresses are offsets
// from CodeStart (code) or DataStart (data). False when data is no TD32
// data or holds no symbols.
bool ReadTd32(std::span<const std::uint8_t> data, TMapFile& map);

}  // namespace corvan::crash
