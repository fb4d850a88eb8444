// The refinement step after Wu's box cut: entries move to the mean of the
// pixels that map to them, only when that lowers the error, and entries no
// pixel uses repeat entry 0. Errors are recounted pixel by pixel here, not
// taken from the refinement's own bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "TestPictures.h"
#include "crash/codec/PaletteRefinement.h"
#include "crash/codec/WuQuantizer.h"

namespace corvan::crash {
namespace {

using test::SetPixel;

struct Picture {
  std::string name;
  DibImage image;
};

// Sum of squared channel differences between the pixels and their entries.
std::int64_t PixelError(DibImage& image, const Palette& palette,
                        const std::vector<std::uint8_t>& imageData) {
  const DibPixels p = image.View();
  std::int64_t error = 0;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const std::uint8_t* px = p.Pixel(x, y);
      const std::uint8_t* e =
          &palette[imageData[static_cast<std::size_t>(y) * (p.width + 1u) + 1 + x] * 3u];
      for (int c = 0; c < 3; ++c) {
        const std::int64_t d = px[2 - c] - e[c];
        error += d * d;
      }
    }
  return error;
}

// The image data of a picture mapped cell by cell.
std::vector<std::uint8_t> ImageData(DibImage& image, const MappedPalette& mapped) {
  const DibPixels p = image.View();
  std::vector<std::uint8_t> data;
  for (int y = 0; y < p.height; ++y) {
    data.push_back(0);
    for (int x = 0; x < p.width; ++x) {
      const std::uint8_t* px = p.Pixel(x, y);
      data.push_back(mapped.entryOfCell[static_cast<std::size_t>(CellKey(px[2], px[1], px[0]))]);
    }
  }
  return data;
}

// Wu's palette without refinement, mapped as the Part's quantiser maps it.
QuantizedImage WuOnly(DibImage& image) {
  WuQuantizer quantizer;
  quantizer.AddPixels(image.View().bits, image.View().PixelCount());
  QuantizedImage q;
  q.palette = quantizer.BuildPalette();
  PaletteMapper mapper(q.palette, &quantizer.CellMeans());
  const DibPixels p = image.View();
  for (int y = 0; y < p.height; ++y) {
    q.imageData.push_back(0);
    for (int x = 0; x < p.width; ++x) {
      const std::uint8_t* px = p.Pixel(x, y);
      q.imageData.push_back(mapper.IndexOf(px[2], px[1], px[0]));
    }
  }
  return q;
}

DibImage Gradient(int width, int height) {
  DibImage image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      SetPixel(image.View(), x, y, static_cast<std::uint8_t>(x * 255 / width),
               static_cast<std::uint8_t>(y * 255 / height),
               static_cast<std::uint8_t>((x + y) * 127 / (width + height)));
    }
  return image;
}

std::vector<Picture> TestPictures() {
  std::vector<Picture> pictures;
  for (unsigned seed = 1; seed <= 3; ++seed) {
    pictures.push_back({"screen " + std::to_string(seed), test::ScreenLikePicture(320, 200, seed)});
  }
  pictures.push_back({"noise", test::NoisePicture(128, 96)});
  pictures.push_back({"gradient", Gradient(256, 128)});
  pictures.push_back({"flat", test::FlatPicture(9, 7, 3, 200, 77)});
  return pictures;
}

TEST(PaletteRefinement, NeverRaisesTheErrorAndLowersItOnScreenContent) {
  for (Picture& picture : TestPictures()) {
    SCOPED_TRACE(picture.name);
    const QuantizedImage wu = WuOnly(picture.image);
    const QuantizedImage refined = QuantizeImage(picture.image.View());
    const std::int64_t wuError = PixelError(picture.image, wu.palette, wu.imageData);
    const std::int64_t refinedError = PixelError(picture.image, refined.palette, refined.imageData);
    EXPECT_LE(refinedError, wuError);
    if (picture.name.starts_with("screen")) {
      EXPECT_LT(refinedError, wuError * 9 / 10);
    }

    // The error the refinement decides by is the pixels' own error.
    WuQuantizer quantizer;
    quantizer.AddPixels(picture.image.View().bits, picture.image.View().PixelCount());
    const Palette start = quantizer.BuildPalette();
    const MappedPalette mapped = MapCells(start, quantizer.Cells());
    EXPECT_EQ(mapped.squaredError, wuError);
    EXPECT_EQ(RefinePalette(mapped, quantizer.Cells()).squaredError, refinedError);
  }
}

TEST(PaletteRefinement, EntriesNoPixelUsesRepeatEntryZero) {
  std::vector<Picture> pictures = TestPictures();
  DibImage two = test::FlatPicture(4, 4, 10, 20, 30);
  SetPixel(two.View(), 0, 0, 250, 250, 250);
  pictures.push_back({"two colours", std::move(two)});
  for (Picture& picture : pictures) {
    SCOPED_TRACE(picture.name);
    const QuantizedImage q = QuantizeImage(picture.image.View());
    std::vector<bool> used(kPaletteEntries);
    for (std::size_t i = 0; i < q.imageData.size(); ++i) {
      if (i % (picture.image.Width() + 1u) != 0) used[q.imageData[i]] = true;
    }
    for (int k = 1; k < kPaletteEntries; ++k) {
      if (used[static_cast<std::size_t>(k)]) continue;
      ASSERT_EQ(q.palette[k * 3], q.palette[0]) << k;
      ASSERT_EQ(q.palette[k * 3 + 1], q.palette[1]) << k;
      ASSERT_EQ(q.palette[k * 3 + 2], q.palette[2]) << k;
    }
  }
}

// A picture of the given colours (red, green, blue, pixel count) and a start
// palette of the given entries, the rest repeating entry 0.
struct SmallCase {
  DibImage image;
  WuQuantizer quantizer;
  MappedPalette start;

  SmallCase(std::initializer_list<std::array<int, 4>> colours,
            std::vector<std::array<int, 3>> entries) {
    int count = 0;
    for (const auto& c : colours) count += c[3];
    image = DibImage(count, 1);
    int x = 0;
    for (const auto& c : colours)
      for (int i = 0; i < c[3]; ++i, ++x) {
        SetPixel(image.View(), x, 0, static_cast<std::uint8_t>(c[0]),
                 static_cast<std::uint8_t>(c[1]), static_cast<std::uint8_t>(c[2]));
      }
    quantizer.AddPixels(image.View().bits, image.View().PixelCount());
    quantizer.BuildPalette();
    Palette palette{};
    for (int k = 0; k < kPaletteEntries; ++k)
      for (int c = 0; c < 3; ++c) {
        const std::size_t entry = k < static_cast<int>(entries.size()) ? k : 0;
        palette[k * 3 + c] = static_cast<std::uint8_t>(entries[entry][c]);
      }
    start = MapCells(palette, quantizer.Cells());
  }
  MappedPalette Refine() const { return RefinePalette(start, quantizer.Cells()); }
};

TEST(PaletteRefinement, EntriesMoveToTheRoundedMeanOfTheirPixels) {
  // Greys 10 (x3) and 40 map to black, 250 (x2) and 170 to 200.
  SmallCase small({{10, 10, 10, 3}, {40, 40, 40, 1}, {250, 250, 250, 2}, {170, 170, 170, 1}},
                  {{0, 0, 0}, {200, 200, 200}});
  const MappedPalette refined = small.Refine();
  EXPECT_EQ(refined.palette[0], 18);   // 70 / 4 = 17.5
  EXPECT_EQ(refined.palette[3], 223);  // 670 / 3 = 223.3
  EXPECT_EQ(refined.palette[255 * 3], 18);
  EXPECT_LT(refined.squaredError, small.start.squaredError);
}

TEST(PaletteRefinement, KeepsTheStartWhenMovingRaisesTheError) {
  // The pixels go to the nearest entry by the sum of absolute differences,
  // which is not always the nearest by squared error: here the moved
  // palette maps (152, 64, 248) to the entry the squared error likes less,
  // and the error would grow from 166656 to 200081. No pixel maps to the
  // green entry: in the kept start palette it too repeats entry 0.
  SmallCase small({{152, 64, 248, 1}, {192, 192, 232, 2}, {32, 24, 8, 3}},
                  {{232, 24, 24}, {72, 40, 120}, {0, 255, 0}});
  EXPECT_EQ(PixelError(small.image, small.start.palette, ImageData(small.image, small.start)),
            166656);
  const MappedPalette result = small.Refine();
  EXPECT_EQ(result.squaredError, 166656);
  EXPECT_EQ(result.entryOfCell, small.start.entryOfCell);
  Palette expected = small.start.palette;
  std::copy_n(expected.begin(), 3, expected.begin() + 6);
  EXPECT_EQ(result.palette, expected);
}

}  // namespace
}  // namespace corvan::crash
