#include "crash/util/Crc32.h"

#include <zlib.h>

namespace corvan::crash {

std::uint32_t Crc32Update(std::uint32_t reg, const void* data, std::size_t length) {
  if (length == 0) return reg;
  // zlib keeps the complement outside: it takes and returns finished CRCs.
  return ~static_cast<std::uint32_t>(
      crc32_z(~reg & 0xFFFFFFFFu, static_cast<const Bytef*>(data), length));
}

}  // namespace corvan::crash
