#include "crash/analysis/PeChecksum.h"

#include <algorithm>
#include <cstring>

namespace corvan::crash {
namespace {

std::uint32_t U32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Word sum with the carries folded: the 64-bit accumulator cannot overflow
// for any file a 32-bit checksum is meant for.
std::uint64_t WordSum(const std::uint8_t* p, std::size_t size) {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < size; i += 2) sum += static_cast<std::uint32_t>(p[i] | p[i + 1] << 8);
  if (i < size) sum += p[i];
  return sum;
}

}  // namespace

std::optional<std::uint32_t> PeChecksumOffset(std::span<const std::uint8_t> file) {
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return std::nullopt;
  const std::uint32_t nt = U32(file.data() + 0x3C);
  // Signature (4), file header (20), then CheckSum 64 bytes into the
  // optional header in both PE32 and PE32+.
  const std::uint64_t field = std::uint64_t(nt) + 4 + 20 + 64;
  if (field + 4 > file.size() || std::memcmp(file.data() + nt, "PE\0\0", 4) != 0)
    return std::nullopt;
  return static_cast<std::uint32_t>(field);
}

std::uint32_t PeChecksum(std::span<const std::uint8_t> file, std::uint32_t fieldOffset) {
  std::uint64_t sum = WordSum(file.data(), file.size());
  // The words the field touches count again as if its bytes were zero.
  const std::uint64_t first = fieldOffset & ~1u;
  if (first < file.size()) {
    const std::uint64_t end =
        std::min<std::uint64_t>(((fieldOffset + 3ull) & ~1ull) + 2, file.size());
    std::uint8_t words[6] = {};
    const std::size_t length = static_cast<std::size_t>(end - first);
    std::memcpy(words, file.data() + first, length);
    sum -= WordSum(words, length);
    for (std::uint64_t i = fieldOffset; i < fieldOffset + 4ull && i < end; ++i)
      words[i - first] = 0;
    sum += WordSum(words, length);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + file.size());
}

}  // namespace corvan::crash
