// Lookups in one module's symbols. Every table is sorted when a map is
// finished, so each lookup is one or two binary searches.
#include "crash/analysis/zelMapFile.h"

#include <algorithm>

#include "crash/util/TextParts.h"

namespace corvan::crash {

const TMfSegment* SegmentAt(const TMapFile& map, bool isCode, Address address) {
  const std::vector<TMfSegment>& s = map.Segments;
  // First segment that sorts after every segment of this kind starting at
  // or below address.
  auto it =
      std::upper_bound(s.begin(), s.end(), address, [isCode](Address a, const TMfSegment& seg) {
        if (isCode != seg.IsCode) return isCode;  // code sorts first
        return a < seg.SegStart;
      });
  if (it == s.begin()) return nullptr;
  const TMfSegment& seg = *(it - 1);
  if (seg.IsCode != isCode || address < seg.SegStart || address - seg.SegStart >= seg.SegLength) {
    return nullptr;
  }
  return &seg;
}

const TMfPublic* PublicAt(const TMapFile& map, Address address) {
  const std::vector<TMfPublic>& p = map.Publics;
  auto it = std::upper_bound(p.begin(), p.end(), address,
                             [](Address a, const TMfPublic& pub) { return a < pub.SymbolAddress; });
  if (it == p.begin()) return nullptr;
  if (it == p.end()) {
    if (map.CodeEnd && address >= map.CodeEnd) return nullptr;
  }
  return &*(it - 1);
}

std::uint32_t PublicNameHash(std::string_view name) {
  // ASCII letters folded by hand (the C runtime's tolower costs more than
  // the rest of loading a map); other bytes are left out, so that names
  // equal under any locale's case folding still share their hash.
  std::uint32_t hash = 2166136261u;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) continue;
    hash ^= byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
    hash *= 16777619u;
  }
  return hash;
}

Address PublicAddress(const TMapFile& map, bool isCode, const std::string& unit, bool caseSensitive,
                      const std::string& name) {
  // The publics that may match, in map order: those with the name's hash,
  // or all of them when the map has no index.
  const bool indexed = map.PublicsByName.size() == map.Publics.size();
  const std::uint32_t hash = indexed ? PublicNameHash(name) : 0;
  const auto firstWithHash = std::lower_bound(
      map.PublicsByName.begin(), map.PublicsByName.end(), hash,
      [](const TMapFile::TNameIndex& entry, std::uint32_t h) { return entry.NameHash < h; });
  auto find = [&](const std::string& unitName) -> Address {
    auto at = [&](std::size_t position) -> Address {
      const TMfPublic& pub = map.Publics[position];
      if (pub.IsCode != isCode) return 0;
      if (caseSensitive ? pub.SymbolName != name : !EqualsIgnoreCase(pub.SymbolName, name))
        return 0;
      const TMfSegment* seg = SegmentAt(map, isCode, pub.SymbolAddress);
      return seg && EqualsIgnoreCase(seg->UnitName, unitName) ? pub.SymbolAddress : 0;
    };
    if (!indexed) {
      for (std::size_t position = 0; position < map.Publics.size(); ++position) {
        if (const Address found = at(position)) return found;
      }
      return 0;
    }
    for (auto it = firstWithHash; it != map.PublicsByName.end() && it->NameHash == hash; ++it) {
      if (const Address found = at(it->Position)) return found;
    }
    return 0;
  };
  Address found = find(unit);
  if (found || unit.find('.') != std::string::npos) return found;
  for (const char* extension : {".cpp", ".h", ".c"}) {
    if ((found = find(unit + extension)) != 0) return found;
  }
  return 0;
}

std::int32_t LineAt(const TMapFile& map, Address address, Address* nextLineStart) {
  if (nextLineStart) *nextLineStart = address;
  const TMfSegment* seg = SegmentAt(map, true, address);
  const std::vector<TMfLine>& l = map.Lines;
  if (l.empty()) return seg && seg->HasLines ? -1 : 0;
  auto it = std::upper_bound(l.begin(), l.end(), address,
                             [](Address a, const TMfLine& line) { return a < line.LineAddress; });
  if (it == l.begin()) return 0;
  const Address next = it == l.end() ? map.CodeEnd : it->LineAddress;
  if (it == l.end() && map.CodeEnd && address >= map.CodeEnd) return 0;
  const TMfLine& line = *(it - 1);
  // The line counts only inside the unit it belongs to.
  if (!seg || line.LineAddress < seg->SegStart) return 0;
  if (nextLineStart) *nextLineStart = next ? next : address + 1;
  return line.LineNo;
}

}  // namespace corvan::crash
