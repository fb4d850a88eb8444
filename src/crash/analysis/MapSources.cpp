#include "crash/analysis/MapSources.h"

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/JdbgFile.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/Td32.h"
#include "crash/analysis/TextMap.h"

namespace corvan::crash {
namespace {

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool ReadTd32Information(const TMapSources& sources, TMapFile& map) {
  std::string data;
  // Data the image names is the only TD32 source tried then.
  if (sources.ImageTd32(data)) return ReadTd32(Bytes(data), map);
  std::uint64_t tdsDays = 0, mapDays = 0;
  if (!sources.SiblingDays(".tds", tdsDays)) return false;
  if (sources.SiblingDays(".map", mapDays) && tdsDays < mapDays) return false;
  if (!sources.ReadSibling(".tds", data)) return false;
  if (IsTd32(Bytes(data))) return ReadTd32(Bytes(data), map);
  return ReadTd32(Td32DataInImage(Bytes(data)), map);  // a ".tds" that is an image
}

}  // namespace

void LoadMapFromSources(const TMapSources& sources, bool singleCodeSection, TMapFile& map) {
  const TMapFile ranges = map;
  const std::span<const std::uint8_t> embedded = sources.EmbeddedMap();
  TCompactMapHeader header;
  const bool minimal =
      ReadCompactMapHeader(embedded, header) && (header.Flags & kCompactMapFlagMinimal);
  std::string file;
  bool loaded = false;
  // A reader that fails may leave parts behind: the next one starts from
  // the ranges alone.
  auto attempt = [&](auto&& read) {
    if (loaded) return;
    loaded = read();
    if (!loaded) map = ranges;
  };
  if (minimal) {
    // The full map beside the module when it is the one the minimal map
    // stands for; else the minimal map, whose names only the full map has.
    const std::string wanted = sources.MinDebugInfoSetting();
    attempt([&] {
      return !wanted.empty() && sources.ReadSibling(".zel", file) &&
             CompactMapIdentification(Bytes(file)) == wanted && ReadCompactMap(Bytes(file), map);
    });
    attempt([&] {
      if (!ReadCompactMap(embedded, map)) return false;
      map.MinDebugInfo = wanted.empty() ? CompactMapIdentification(embedded) : wanted;
      return true;
    });
  } else {
    attempt([&] { return ReadCompactMap(embedded, map); });
    if (singleCodeSection) attempt([&] { return ReadTd32Information(sources, map); });
    attempt([&] { return sources.ReadSibling(".map", file) && ReadTextMap(file, map); });
    attempt([&] { return sources.ReadSibling(".zel", file) && ReadCompactMap(Bytes(file), map); });
    attempt([&] { return sources.ReadSibling(".jdbg", file) && ReadJdbg(Bytes(file), map); });
  }
  FinishMap(map);
}

}  // namespace corvan::crash
