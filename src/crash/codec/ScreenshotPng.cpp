#include "crash/codec/ScreenshotPng.h"

#include <cstdlib>

#include "crash/codec/WuQuantizer.h"

namespace corvan::crash {
namespace {

// Size limits of the modes 2 to 5 above which the grey variant is tried.
constexpr std::size_t kGreyLimits[] = {51200, 102400, 204800, 307200};

std::size_t GreyLimit(int mode) {
  return mode >= 2 && mode <= 5 ? kGreyLimits[mode - 2] : SIZE_MAX;
}

// Ramp index of every grey value: nearest level, the first of equal
// distances winning.
std::array<std::uint8_t, 256> GreyRampIndex() {
  std::array<std::uint8_t, 256> index{};
  for (int v = 0; v < 256; ++v) {
    int best = 0;
    for (int k = 1; k < static_cast<int>(kGreyRamp.size()); ++k) {
      if (std::abs(kGreyRamp[k] - v) < std::abs(kGreyRamp[best] - v)) best = k;
    }
    index[v] = static_cast<std::uint8_t>(best);
  }
  return index;
}

std::vector<std::uint8_t> GreyPalette() {
  std::vector<std::uint8_t> palette;
  for (std::uint8_t level : kGreyRamp) palette.insert(palette.end(), 3, level);
  return palette;
}

}  // namespace

std::vector<std::uint8_t> GreyImageData(const DibPixels& pixels) {
  static const std::array<std::uint8_t, 256> rampIndex = GreyRampIndex();
  const std::size_t rowBytes = (static_cast<std::size_t>(pixels.width) + 1) / 2 + 1;
  std::vector<std::uint8_t> data(rowBytes * static_cast<std::size_t>(pixels.height), 0);
  std::uint8_t* out = data.data();
  for (int y = 0; y < pixels.height; ++y, out += rowBytes) {
    std::uint8_t* px = pixels.RowFromTop(y);
    for (int x = 0; x < pixels.width; ++x, px += 4) {
      const std::uint8_t grey =
          static_cast<std::uint8_t>((px[2] * 77 + px[1] * 151 + px[0] * 28) >> 8);
      px[0] = px[1] = px[2] = grey;
      const std::uint8_t nibble = rampIndex[grey];
      out[1 + x / 2] |= (x & 1) ? nibble : static_cast<std::uint8_t>(nibble << 4);
    }
  }
  return data;
}

std::vector<std::uint8_t> EncodeScreenshotPng(const DibPixels& pixels, int mode,
                                              RawCompressor compress) {
  if (pixels.width <= 0 || pixels.height <= 0) return {};
  const auto width = static_cast<std::uint32_t>(pixels.width);
  const auto height = static_cast<std::uint32_t>(pixels.height);
  std::vector<std::uint8_t> palettePng;
  if (mode != kPngGreyOnly) {
    const QuantizedImage image = QuantizeImage(pixels);
    palettePng = BuildIndexedPng(width, height, 8, image.palette, image.imageData, compress);
  }
  const bool wantGrey =
      mode == kPngGreyOnly || palettePng.empty() || palettePng.size() > GreyLimit(mode);
  if (!wantGrey) return palettePng;
  std::vector<std::uint8_t> greyPng =
      BuildIndexedPng(width, height, 4, GreyPalette(), GreyImageData(pixels), compress);
  if (palettePng.empty() || (!greyPng.empty() && greyPng.size() < palettePng.size())) {
    return greyPng;
  }
  return palettePng;
}

}  // namespace corvan::crash
