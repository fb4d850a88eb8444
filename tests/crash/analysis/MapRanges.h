#pragma once
// The module ranges the map reader tests fill their maps into.
#include "crash/analysis/zelMapFile.h"

namespace corvan::crash::test {

inline constexpr Address kMapCode = 0x401000;

inline TMapFile MapRanges(std::uint32_t codeLength = 0x1000, Address dataStart = 0x480000) {
  TMapFile map;
  map.CodeStart = kMapCode;
  map.CodeEnd = kMapCode + codeLength;
  map.DataStart = dataStart;
  map.DataEnd = dataStart + 0x1000;
  return map;
}

}  // namespace corvan::crash::test
