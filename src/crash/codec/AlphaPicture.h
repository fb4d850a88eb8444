#pragma once
// The crash reporter's pictures (dialog buttons, progress window): a
// BITMAPINFOHEADER and size x size pixels of blue, green, red and alpha,
// drawn blended over the button face colour.
#include <cstddef>
#include <cstdint>

namespace corvan::crash {

// The resource length of a picture of size x size pixels.
constexpr std::size_t AlphaPictureBytes(int size) {
  return 40 + static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4;
}

// Blends a picture of blue, green, red, alpha over a background
// colour (0x00BBGGRR as GetSysColor gives it): with a = alpha + 1, each
// channel becomes ((256 - a) * background + a * pixel) / 256. The fourth
// byte of each result pixel is 0.
void BlendPicture(const std::uint8_t* bgra, std::size_t pixelCount, std::uint32_t background,
                  std::uint8_t* bgrx);

}  // namespace corvan::crash
