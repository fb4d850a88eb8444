#pragma once
// Encodes a screenshot as a PNG: a 256-colour palette picture (Wu's
// quantiser), a 16-level grey picture, or the shorter of both.
#include <array>
#include <cstdint>
#include <vector>

#include "crash/codec/DibPixels.h"
#include "crash/codec/PngEncoder.h"

namespace corvan::crash {

// The encoding modes: 0 palette only; 1 grey only; 2 to 5 palette, and when
// that is longer than the mode's limit (50, 100, 200 or 300 KiB) also grey,
// the shorter one winning. Other values behave like 0.
inline constexpr int kPngPaletteOnly = 0;
inline constexpr int kPngGreyOnly = 1;

// The grey ramp: 16 levels, finer in the dark.
inline constexpr std::array<std::uint8_t, 16> kGreyRamp = {0,   28,  52,  73,  92,  109, 125, 140,
                                                           155, 170, 185, 199, 213, 227, 241, 255};

// Converts the pixels to grey in place ((77 red + 151 green + 28 blue) / 256
// on all three channels) and returns the 4-bit image data: rows top to
// bottom, a filter byte 0, then the ramp indices two per byte, the first
// pixel in the high nibble, an odd row's last low nibble 0.
std::vector<std::uint8_t> GreyImageData(const DibPixels& pixels);

// The PNG of the pixels in the given mode, or empty when no variant could
// be encoded. The grey variant turns the pixels grey.
std::vector<std::uint8_t> EncodeScreenshotPng(const DibPixels& pixels, int mode,
                                              RawCompressor compress = CompressRaw);

}  // namespace corvan::crash
