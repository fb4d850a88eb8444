#pragma once
// 32-bit BMP files of a DIB-layout picture.
#include <cstdint>
#include <vector>

#include "crash/codec/DibPixels.h"

namespace corvan::crash {

inline constexpr std::size_t kBmpFileHeaderSize = 14;
inline constexpr std::size_t kBmpInfoHeaderSize = 40;

// The 40-byte BITMAPINFOHEADER of a bottom-up, uncompressed 32-bit picture.
void PutBmpInfoHeader(std::uint8_t* out, int width, int height);

// "BM", file size, two reserved zeros, pixel offset 54, the info header and
// the pixels as stored (bottom-up, 4 bytes each).
std::vector<std::uint8_t> EncodeBmp(const DibPixels& pixels);

}  // namespace corvan::crash
