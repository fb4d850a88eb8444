#include "net/http/Md4.h"

#include <cstring>

namespace corvan::http {
namespace {

std::uint32_t Rotl(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

std::uint32_t Load32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Load32(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  auto f = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); };
  auto g = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (x & z) | (y & z);
  };
  auto h = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; };
  // Round 1: word order 0..15, shifts 3 7 11 19.
  static const int kS1[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; ++i) {
    const std::uint32_t t = Rotl(a + f(b, c, d) + x[i], kS1[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  // Round 2: columns (0 4 8 12, 1 5 9 13, ...), shifts 3 5 9 13.
  static const int kS2[4] = {3, 5, 9, 13};
  for (int i = 0; i < 16; ++i) {
    const int k = (i % 4) * 4 + i / 4;
    const std::uint32_t t = Rotl(a + g(b, c, d) + x[k] + 0x5A827999u, kS2[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  // Round 3: bit-reversed order (0 8 4 12 2 10 6 14 ...), shifts 3 9 11 15.
  static const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  static const int kS3[4] = {3, 9, 11, 15};
  for (int i = 0; i < 16; ++i) {
    const std::uint32_t t = Rotl(a + h(b, c, d) + x[kOrder3[i]] + 0x6ED9EBA1u, kS3[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

TMd4Digest Md4(std::string_view data) {
  std::uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t left = data.size();
  for (; left >= 64; left -= 64, bytes += 64) Transform(state, bytes);
  // Padding: 0x80, zeros up to 56 mod 64, then the bit length (64-bit LE).
  std::uint8_t tail[128] = {};
  std::memcpy(tail, bytes, left);
  tail[left] = 0x80;
  const std::size_t tailSize = left < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Transform(state, tail);
  if (tailSize == 128) Transform(state, tail + 64);
  TMd4Digest digest;
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (8 * (i % 4)));
  return digest;
}

}  // namespace corvan::http
