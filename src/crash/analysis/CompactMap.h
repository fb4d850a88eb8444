#pragma once
// The compact symbol map: the form embedded in a module as resource
// "EXCEPT" of type "ZEL" and stored in ".zel" files.
//
//   offset  size  field
//   0       14    tag kCompactMapTag
//   14      4     payload length
//   18      4     version, 2 or 3
//   22      4     identification value A (version 3)
//   26      4     identification value B (version 3)
//   30      4     flags (version 3); bit 0: minimal form
//   34/22   n     payload: a compressed block (ExpandBlock), not enciphered
//
// The expanded stream holds the segments, publics, lines and optionally the
// entry point, addresses relative to CodeStart (see ReadCompactMap). A
// damaged or hostile map is rejected as a whole, never half-read.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crash/analysis/zelMapFile.h"

namespace corvan::crash {

inline constexpr char kCompactMapTag[15] = "CORVAN-SYMMAP!";
inline constexpr std::uint32_t kCompactMapFlagMinimal = 1;

struct TCompactMapHeader {
  std::uint32_t PayloadLength = 0;
  std::uint32_t Version = 0;
  std::uint32_t IdA = 0, IdB = 0;
  std::uint32_t Flags = 0;
  std::size_t PayloadOffset = 0;
};

// The header of data when it is a compact map whose declared payload lies
// inside data; false otherwise.
bool ReadCompactMapHeader(std::span<const std::uint8_t> data, TCompactMapHeader& header);

// Identification of a compact map: its total length, value A and value B
// as "$" and 8 lowercase hex digits, joined by ", " (31 characters).
std::string CompactMapIdentification(std::span<const std::uint8_t> data);

// Adds the map's segments, publics, lines and entry point to map, whose
// CodeStart must be set. False (and map unchanged) for anything that is not
// a complete, well-formed compact map.
bool ReadCompactMap(std::span<const std::uint8_t> data, TMapFile& map);

// The compact map of map (version 3). Names longer than 255 characters are
// cut. In minimal form, names are left out and each segment records
// whether its unit has lines. Empty when the map does not fit the format.
std::vector<std::uint8_t> WriteCompactMap(const TMapFile& map, bool minimal, std::uint32_t idA,
                                          std::uint32_t idB);

}  // namespace corvan::crash
