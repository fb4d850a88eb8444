#pragma once
// Raw deflate streams (RFC 1951, no zlib header or trailer) through zlib,
// and the length-prefixed compressed block of the embedded symbol map.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvan::crash {

// Destination size that always holds the raw deflate stream of srcLength
// bytes, incompressible data included (at least 110 % + 12 bytes).
std::size_t CompressRawBound(std::size_t srcLength);

// Deflates src (level 6, 32 KB window) into dst. Returns the compressed
// length, or 0 when dst is too small or zlib fails.
std::size_t CompressRaw(const void* src, void* dst, std::size_t srcLength, std::size_t dstCapacity);

// CompressRaw's signature: encoders take the compressor as a parameter so
// that their failure paths can be exercised.
using RawCompressor = std::size_t (*)(const void* src, void* dst, std::size_t srcLength,
                                      std::size_t dstCapacity);

// Inflates src into dst. Returns expectedLength when the whole of src was
// one complete stream that produced exactly expectedLength bytes, else 0.
std::size_t ExpandRaw(const void* src, void* dst, std::size_t srcLength,
                      std::size_t expectedLength);

// Compressed block: bytes 0-3 uncompressed length, 4-7 length of the deflate
// stream (readers ignore it), 8-11 CRC-32 of the uncompressed data, then the
// raw deflate stream; all little-endian.
inline constexpr std::size_t kBlockHeaderSize = 12;
// Largest uncompressed length a block may declare, and the largest ratio of
// declared length to deflate stream length (deflate cannot expand more than
// 1032 to 1): a block beyond either is damaged or hostile.
inline constexpr std::uint32_t kBlockMaxLength = 64u << 20;
inline constexpr std::uint32_t kBlockMaxRatio = 1032;

// Builds a block of data; empty when deflate fails or data exceeds
// kBlockMaxLength.
std::vector<std::uint8_t> CompressBlock(std::span<const std::uint8_t> data);

// The uncompressed bytes of a block, or empty when the block is shorter than
// 13 bytes, declares an implausible length, does not inflate, or its CRC-32
// does not match. Callers treat a damaged block like a missing one.
std::vector<std::uint8_t> ExpandBlock(std::span<const std::uint8_t> block);

}  // namespace corvan::crash
