// The ".jdbg" reader on arbitrary bytes. The input gets the signature and
// version, and half the time a checksum that holds, so that the fuzzer
// reaches the tables and names behind the header checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crash/analysis/JdbgFile.h"
#include "crash/analysis/MapTables.h"
#include "crash/util/ByteOrder.h"

using namespace corvan::crash;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  while (file.size() % 4 || file.size() < kJdbgHeaderSize + 2) file.push_back(0);
  std::memcpy(file.data(), "JDBG", 4);
  file[4] = 1;
  if (file[33] & 1) {
    PutLe32(file.data() + 29, 0);
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < file.size(); at += 4) sum += ReadLe32(file.data() + at);
    PutLe32(file.data() + 29, sum);
  } else {
    file[33] = 0;
  }
  TMapFile map;
  map.CodeStart = 0x401000;
  map.CodeEnd = 0x480000;
  if (!ReadJdbg(file, map)) return 0;
  for (std::size_t i = 1; i < map.Lines.size(); ++i) {
    if (map.Lines[i - 1].LineAddress > map.Lines[i].LineAddress) std::abort();
  }
  for (const TMfPublic& pub : map.Publics) {
    if (pub.SymbolName.size() > 2 * 254 + 2) std::abort();  // two parts of at most 254
    (void)SegmentAt(map, true, pub.SymbolAddress);
  }
  return 0;
}
