#include "crash/codec/PngEncoder.h"

#include <zlib.h>

#include <cstring>

#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"

namespace corvan::crash {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kColourTypeIndexed = 3;
// A zlib stream header: deflate with a 32 KB window, no dictionary.
constexpr std::uint8_t kZlibHeader[2] = {0x78, 0x01};
constexpr std::size_t kChunkOverhead = 12;  // length, type, CRC

// Appends the length and type of a chunk; the data follows, then EndChunk.
std::size_t BeginChunk(std::vector<std::uint8_t>& out, const char (&type)[5],
                       std::size_t dataLength) {
  AppendBe32(out, static_cast<std::uint32_t>(dataLength));
  const std::size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  return typeAt;
}

// The CRC covers the type and the data.
void EndChunk(std::vector<std::uint8_t>& out, std::size_t typeAt) {
  AppendBe32(out, Crc32(out.data() + typeAt, out.size() - typeAt));
}

std::uint32_t Adler32(std::span<const std::uint8_t> data) {
  return static_cast<std::uint32_t>(adler32_z(adler32_z(0, nullptr, 0), data.data(), data.size()));
}

}  // namespace

std::vector<std::uint8_t> BuildIndexedPng(std::uint32_t width, std::uint32_t height, int bitDepth,
                                          std::span<const std::uint8_t> palette,
                                          std::span<const std::uint8_t> imageData,
                                          RawCompressor compress) {
  const std::size_t deflateCapacity = CompressRawBound(imageData.size());
  std::vector<std::uint8_t> png;
  png.reserve(sizeof kSignature + 3 * kChunkOverhead + 13 + palette.size() + sizeof kZlibHeader +
              deflateCapacity + 4 + kChunkOverhead);
  png.assign(kSignature, kSignature + sizeof kSignature);

  std::size_t at = BeginChunk(png, "IHDR", 13);
  AppendBe32(png, width);
  AppendBe32(png, height);
  png.push_back(static_cast<std::uint8_t>(bitDepth));
  png.push_back(kColourTypeIndexed);
  png.insert(png.end(), 3, 0);  // compression, filter, interlace
  EndChunk(png, at);

  if (!palette.empty()) {
    at = BeginChunk(png, "PLTE", palette.size());
    png.insert(png.end(), palette.begin(), palette.end());
    EndChunk(png, at);
  }

  // The IDAT length is known only after deflating straight into place.
  const std::size_t lengthAt = png.size();
  at = BeginChunk(png, "IDAT", 0);
  png.insert(png.end(), kZlibHeader, kZlibHeader + sizeof kZlibHeader);
  const std::size_t deflateAt = png.size();
  png.resize(deflateAt + deflateCapacity);
  const std::size_t packed =
      compress(imageData.data(), png.data() + deflateAt, imageData.size(), deflateCapacity);
  if (packed == 0) return {};
  png.resize(deflateAt + packed);
  AppendBe32(png, Adler32(imageData));
  PutBe32(png.data() + lengthAt, static_cast<std::uint32_t>(png.size() - at - 4));
  EndChunk(png, at);

  at = BeginChunk(png, "IEND", 0);
  EndChunk(png, at);
  return png;
}

}  // namespace corvan::crash
