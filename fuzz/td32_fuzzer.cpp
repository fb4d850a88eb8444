// The TD32 reader on arbitrary bytes behind a valid signature, and the
// image lookup on the same bytes as a PE file: every offset and length
// comes from the input, none may lead outside it or into a loop.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crash/analysis/MapTables.h"
#include "crash/analysis/Td32.h"

using namespace corvan::crash;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  (void)Td32DataInImage(input);
  std::vector<std::uint8_t> td32(data, data + size);
  if (td32.size() >= 4) std::memcpy(td32.data(), "FB09", 4);
  TMapFile map;
  map.CodeStart = 0x401000;
  map.CodeEnd = 0x480000;
  map.DataStart = 0x480000;
  map.DataEnd = 0x490000;
  map.CodeSymbolsOnly = size % 2 == 0;
  if (!ReadTd32(td32, map)) return 0;
  for (std::size_t i = 1; i < map.Publics.size(); ++i) {
    if (map.Publics[i - 1].SymbolAddress > map.Publics[i].SymbolAddress) std::abort();
  }
  for (const TMfPublic& pub : map.Publics) (void)LineAt(map, pub.SymbolAddress);
  return 0;
}
