#include "crash/util/Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"

namespace corvan::crash {
namespace {

constexpr int kRawWindowBits = -15;  // negative: raw stream, 32 KB window
constexpr int kLevel = 6;
constexpr int kMemLevel = 8;

// zlib counts in 32-bit units; bigger buffers are fed in slices.
constexpr std::size_t kSlice = std::numeric_limits<uInt>::max();

uInt SliceOf(std::size_t remaining) { return static_cast<uInt>(std::min(remaining, kSlice)); }

// Ends a zlib stream whatever way the function leaves.
template <int (*End)(z_streamp)>
struct StreamGuard {
  z_stream* stream;
  ~StreamGuard() { End(stream); }
};

// Inflates src into dst until the stream ends, the input runs out or dst is
// full.
struct InflateResult {
  bool ok = false;           // false: malformed stream or zlib failure
  bool streamEnded = false;  // the final block was seen
  std::size_t produced = 0;
  std::size_t consumed = 0;
};

// zlib counts in 32-bit slices: hands the stream the next slice of input
// and of output space whenever it has used up the current one.
void RefillSlices(z_stream& stream, std::size_t& inLeft, std::size_t& outLeft) {
  if (stream.avail_in == 0 && inLeft > 0) {
    stream.avail_in = SliceOf(inLeft);
    inLeft -= stream.avail_in;
  }
  if (stream.avail_out == 0 && outLeft > 0) {
    stream.avail_out = SliceOf(outLeft);
    outLeft -= stream.avail_out;
  }
}

InflateResult Inflate(const std::uint8_t* src, std::size_t srcLength, std::uint8_t* dst,
                      std::size_t dstCapacity) {
  InflateResult result;
  z_stream stream{};
  if (inflateInit2(&stream, kRawWindowBits) != Z_OK) return result;
  StreamGuard<inflateEnd> guard{&stream};
  std::size_t inLeft = srcLength, outLeft = dstCapacity;
  stream.next_in = const_cast<Bytef*>(src);
  stream.next_out = dst;
  for (;;) {
    RefillSlices(stream, inLeft, outLeft);
    const int rc = inflate(&stream, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      result.streamEnded = true;
      break;
    }
    if (rc == Z_BUF_ERROR) {  // no progress possible: input or output used up
      if ((stream.avail_in == 0 && inLeft == 0) || (stream.avail_out == 0 && outLeft == 0)) break;
      continue;
    }
    if (rc != Z_OK) {
      return result;
    }
  }
  result.ok = true;
  result.produced = dstCapacity - outLeft - stream.avail_out;
  result.consumed = srcLength - inLeft - stream.avail_in;
  return result;
}

}  // namespace

std::size_t CompressRawBound(std::size_t srcLength) {
  const std::size_t classic = srcLength + srcLength / 10 + 12;
  // zlib's compressBound, which holds for every level and input.
  const std::size_t zlibBound =
      srcLength + (srcLength >> 12) + (srcLength >> 14) + (srcLength >> 25) + 13;
  return std::max(classic, zlibBound);
}

std::size_t CompressRaw(const void* src, void* dst, std::size_t srcLength,
                        std::size_t dstCapacity) {
  z_stream stream{};
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return 0;
  }
  StreamGuard<deflateEnd> guard{&stream};
  std::size_t inLeft = srcLength, outLeft = dstCapacity;
  stream.next_in = static_cast<Bytef*>(const_cast<void*>(src));
  stream.next_out = static_cast<Bytef*>(dst);
  for (;;) {
    RefillSlices(stream, inLeft, outLeft);
    const int rc = deflate(&stream, inLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR && stream.avail_out == 0 && outLeft > 0) continue;
    return 0;  // destination full before the end, or a zlib failure
  }
  return dstCapacity - outLeft - stream.avail_out;
}

std::size_t ExpandRaw(const void* src, void* dst, std::size_t srcLength,
                      std::size_t expectedLength) {
  const InflateResult r = Inflate(static_cast<const std::uint8_t*>(src), srcLength,
                                  static_cast<std::uint8_t*>(dst), expectedLength);
  if (!r.ok || !r.streamEnded || r.consumed != srcLength || r.produced != expectedLength) {
    return 0;
  }
  return expectedLength;
}

std::vector<std::uint8_t> CompressBlock(std::span<const std::uint8_t> data) {
  if (data.size() > kBlockMaxLength) return {};
  std::vector<std::uint8_t> block(kBlockHeaderSize + CompressRawBound(data.size()));
  const std::size_t packed = CompressRaw(data.data(), block.data() + kBlockHeaderSize, data.size(),
                                         block.size() - kBlockHeaderSize);
  if (packed == 0) return {};
  block.resize(kBlockHeaderSize + packed);
  PutLe32(block.data(), static_cast<std::uint32_t>(data.size()));
  PutLe32(block.data() + 4, static_cast<std::uint32_t>(packed));
  PutLe32(block.data() + 8, Crc32(data.data(), data.size()));
  return block;
}

std::vector<std::uint8_t> ExpandBlock(std::span<const std::uint8_t> block) {
  if (block.size() <= kBlockHeaderSize) return {};
  const std::uint32_t declared = ReadLe32(block.data());
  const std::uint32_t expectedCrc = ReadLe32(block.data() + 8);
  const std::size_t packedLength = block.size() - kBlockHeaderSize;
  // Never allocate what the stream cannot possibly produce.
  if (declared > kBlockMaxLength || declared > packedLength * kBlockMaxRatio) return {};
  std::vector<std::uint8_t> data(declared);
  const InflateResult r =
      Inflate(block.data() + kBlockHeaderSize, packedLength, data.data(), data.size());
  if (!r.ok) return {};
  data.resize(r.produced);
  if (Crc32(data.data(), data.size()) != expectedCrc) return {};
  return data;
}

}  // namespace corvan::crash
