#pragma once
// Builds indexed-colour PNG files: signature, IHDR, PLTE, one IDAT, IEND.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crash/util/Deflate.h"

namespace corvan::crash {

// imageData holds the rows top to bottom, each a filter byte followed by the
// packed palette indices of bitDepth bits. palette holds red, green, blue
// triples (no PLTE chunk when empty). Returns the file, or empty when the
// image data does not compress (a PNG without usable image data is no PNG).
std::vector<std::uint8_t> BuildIndexedPng(std::uint32_t width, std::uint32_t height, int bitDepth,
                                          std::span<const std::uint8_t> palette,
                                          std::span<const std::uint8_t> imageData,
                                          RawCompressor compress = CompressRaw);

}  // namespace corvan::crash
