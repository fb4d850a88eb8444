// The text map reader on arbitrary text: lines that do not fit the columns
// are skipped, never read past; whatever it accepts must be sorted and
// usable by the lookups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crash/analysis/MapTables.h"
#include "crash/analysis/TextMap.h"

using namespace corvan::crash;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TMapFile map;
  map.CodeStart = 0x401000;
  map.CodeEnd = 0x480000;
  if (!ReadTextMap({reinterpret_cast<const char*>(data), size}, map)) return 0;
  FinishMap(map);
  for (std::size_t i = 1; i < map.Segments.size(); ++i) {
    const TMfSegment& a = map.Segments[i - 1];
    const TMfSegment& b = map.Segments[i];
    if (a.IsCode == b.IsCode && a.SegStart > b.SegStart) std::abort();
  }
  for (const TMfPublic& pub : map.Publics) {
    if (PublicAt(map, pub.SymbolAddress) == nullptr && pub.SymbolAddress < map.CodeEnd)
      std::abort();
    Address next = 0;
    (void)LineAt(map, pub.SymbolAddress, &next);
    (void)SegmentAt(map, pub.IsCode, pub.SymbolAddress);
  }
  return 0;
}
