#pragma once
// Synthetic pictures with the traits of screen content: flat areas, hard
// edges, anti-aliased text-like strokes and gradients.
#include <cstdint>
#include <random>

#include "crash/codec/DibPixels.h"

namespace corvan::crash::test {

inline void SetPixel(const DibPixels& p, int x, int y, std::uint8_t r, std::uint8_t g,
                     std::uint8_t b) {
  std::uint8_t* px = p.Pixel(x, y);
  px[0] = b, px[1] = g, px[2] = r, px[3] = 0;
}

inline DibImage ScreenLikePicture(int width, int height, unsigned seed = 1) {
  DibImage image(width, height);
  const DibPixels p = image.View();
  std::mt19937 rng(seed);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (y < height / 8) {  // title bar gradient
        SetPixel(p, x, y, static_cast<std::uint8_t>(10 + 200 * x / width), 36, 106);
      } else if (x < width / 5) {  // side panel
        SetPixel(p, x, y, 240, 240, 240);
      } else if ((y / 9) % 3 == 0 && (x * 7 + y * 3) % 11 < 4) {  // "text" strokes
        const std::uint8_t ink = static_cast<std::uint8_t>(rng() % 96);
        SetPixel(p, x, y, ink, ink, ink);
      } else if (x > width * 3 / 4 && y > height / 2) {  // a photo-like corner
        SetPixel(p, x, y, static_cast<std::uint8_t>(x * 255 / width),
                 static_cast<std::uint8_t>(y * 255 / height), static_cast<std::uint8_t>(rng()));
      } else {
        SetPixel(p, x, y, 255, 255, 255);
      }
    }
  }
  return image;
}

inline DibImage NoisePicture(int width, int height, unsigned seed = 2) {
  DibImage image(width, height);
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < image.Bytes().size(); ++i) {
    image.Bytes()[i] = i % 4 == 3 ? 0 : static_cast<std::uint8_t>(rng());
  }
  return image;
}

inline DibImage FlatPicture(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  DibImage image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) SetPixel(image.View(), x, y, r, g, b);
  return image;
}

}  // namespace corvan::crash::test
