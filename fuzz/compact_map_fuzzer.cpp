// The compact map reader on arbitrary bytes, both as a whole file and as the
// expanded stream inside a well-formed container (so the fuzzer reaches the
// table parse past the CRC check). A map it accepts must be one the lookups
// can use: sorted tables, no lookup outside them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/MapTables.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/Deflate.h"

using namespace corvan::crash;

namespace {

void Check(const TMapFile& map) {
  for (std::size_t i = 1; i < map.Publics.size(); ++i) {
    if (map.Publics[i - 1].SymbolAddress > map.Publics[i].SymbolAddress) std::abort();
  }
  for (std::size_t i = 1; i < map.Lines.size(); ++i) {
    if (map.Lines[i - 1].LineAddress > map.Lines[i].LineAddress) std::abort();
  }
  const Address probes[] = {0,
                            map.CodeStart,
                            map.CodeStart + 0x10,
                            map.CodeEnd - 1,
                            map.Publics.empty() ? 0 : map.Publics.back().SymbolAddress,
                            map.Lines.empty() ? 0 : map.Lines.front().LineAddress + 1};
  for (Address a : probes) {
    Address next = 0;
    (void)LineAt(map, a, &next);
    if (const TMfPublic* pub = PublicAt(map, a); pub && pub->SymbolAddress > a) std::abort();
    if (const TMfSegment* seg = SegmentAt(map, true, a);
        seg && (a < seg->SegStart || a - seg->SegStart >= seg->SegLength)) {
      std::abort();
    }
  }
  (void)PublicAddress(map, true, "System", false, "@Halt0");
}

void Read(std::span<const std::uint8_t> bytes) {
  TMapFile map;
  map.CodeStart = 0x401000;
  map.CodeEnd = 0x480000;
  if (!ReadCompactMap(bytes, map)) {
    if (map.Loaded || !map.Publics.empty()) std::abort();  // a rejected map leaves no trace
    return;
  }
  FinishMap(map);
  Check(map);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Read({data, size});
  // The input as the expanded stream of a version-3 container; the first
  // byte picks the minimal form.
  if (size == 0) return 0;
  const std::vector<std::uint8_t> payload = CompressBlock({data + 1, size - 1});
  if (payload.empty()) return 0;
  std::vector<std::uint8_t> file(kCompactMapTag, kCompactMapTag + 14);
  AppendLe32(file, static_cast<std::uint32_t>(payload.size()));
  AppendLe32(file, 3);
  AppendLe32(file, 0x12345678);
  AppendLe32(file, 0x9abcdef0);
  AppendLe32(file, data[0] & kCompactMapFlagMinimal);
  file.insert(file.end(), payload.begin(), payload.end());
  Read(file);
  return 0;
}
