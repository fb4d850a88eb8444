#pragma once
// DES (FIPS 46-3), one 64-bit block in ECB mode: what the NTLM responses
// need. Portable.
#include <array>
#include <cstdint>

namespace corvan::http {

using TDesBlock = std::array<std::uint8_t, 8>;

// Encrypts block with the 8-byte key (the low bit of each key byte, the
// parity bit, is not used).
TDesBlock DesEncrypt(const TDesBlock& key, const TDesBlock& block);

// Spreads a 7-byte (56-bit) key over the high seven bits of eight bytes.
TDesBlock DesKeyFrom56(const std::uint8_t key7[7]);

}  // namespace corvan::http
