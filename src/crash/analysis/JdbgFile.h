#pragma once
// JCL debug information (".jdbg" beside a module), version 1.
//
//   offset  size  field
//   0       4     signature "JDBG"
//   4       1     version, 1
//   5       4     offset of the unit table
//   9       4     offset of the source-name table (not read)
//   13      4     offset of the symbol table
//   17      4     offset of the line table
//   21      4     offset of the name area
//   25      4     name offset of the module name (not read)
//   29      4     checksum
//   33      1     checksum valid
//
// The file is a multiple of 4 bytes; with a valid checksum, (sum of all
// dwords - checksum) rotated right by 8 equals the checksum (the writer
// stores the dword sum taken with the checksum field zero). Tables hold
// varints (7-bit groups, low first, high bit: more; at most 5 groups, the
// fifth giving the top 4 bits) of deltas, each table ending at a first
// value of 0x7fffffff: units (address, name), symbols (address, name,
// second name), lines (address, line). Addresses are offsets from the code
// start, name offsets point into the name area. A name's first byte tells
// its form: 1 = zero-terminated and XORed with 0xaa (0xaa bytes stored as
// they are), 2 = "@" and 6-bit packed from the next byte, else 6-bit packed
// from that byte (1-10 "0"-"9", 11-36 "A"-"Z", 37-62 "a"-"z", 63 "_", 0 ends,
// four values in three bytes, low bits first; at most 254 characters).
#include <cstdint>
#include <span>

#include "crash/analysis/zelMapFile.h"

namespace corvan::crash {

inline constexpr std::size_t kJdbgHeaderSize = 34;
inline constexpr std::int32_t kJdbgTableEnd = 0x7fffffff;

// Adds the units (as code segments up to the next unit, the last one up to
// CodeEnd), symbols and lines of data to map, whose CodeStart and CodeEnd
// must be set. False (map unchanged) for anything that is not a complete,
// well-formed file; every offset and varint is checked.
bool ReadJdbg(std::span<const std::uint8_t> data, TMapFile& map);

}  // namespace corvan::crash
