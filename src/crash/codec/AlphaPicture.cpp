#include "crash/codec/AlphaPicture.h"

namespace corvan::crash {

void BlendPicture(const std::uint8_t* bgra, std::size_t pixelCount, std::uint32_t background,
                  std::uint8_t* bgrx) {
  const unsigned back[3] = {(background >> 16) & 0xFF, (background >> 8) & 0xFF,
                            background & 0xFF};  // blue, green, red
  for (std::size_t i = 0; i < pixelCount; ++i, bgra += 4, bgrx += 4) {
    const unsigned a = bgra[3] + 1u;
    for (int c = 0; c < 3; ++c) {
      bgrx[c] = static_cast<std::uint8_t>(((256 - a) * back[c] + a * bgra[c]) / 256);
    }
    bgrx[3] = 0;
  }
}

}  // namespace corvan::crash
