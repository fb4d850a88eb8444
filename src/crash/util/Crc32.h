#pragma once
// The one CRC-32 of the crash reporter (zip entries, PNG chunks, call-stack
// checksums, symbol maps): the standard reflected CRC-32, polynomial
// 0xEDB88320, as zlib's crc32 computes it.
#include <cstddef>
#include <cstdint>

namespace corvan::crash {

// A computation starts with this register value; the final CRC is the
// complement of the last register.
inline constexpr std::uint32_t kCrc32Start = 0xFFFFFFFFu;

// Feeds length bytes into the register (the value before the final
// complement) and returns the new register, so large data can be fed in parts.
std::uint32_t Crc32Update(std::uint32_t reg, const void* data, std::size_t length);

// The finished CRC-32 of one buffer.
inline std::uint32_t Crc32(const void* data, std::size_t length) {
  return ~Crc32Update(kCrc32Start, data, length);
}

}  // namespace corvan::crash
