// Quantiser, grey ramp, PNG layout, scaler and BMP layout; portable (native
// and Wine). The outside-tool checks are in png_tools_test.cpp.
#include <gtest/gtest.h>

#include <array>
#include <set>

#include "TestPictures.h"
#include "crash/codec/BmpFile.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/Crc32.h"
#include "crash/codec/MitchellResize.h"
#include "crash/codec/ScreenshotPng.h"
#include "crash/codec/WuQuantizer.h"

namespace corvan::crash {
namespace {

using test::SetPixel;

std::uint32_t Be32(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint32_t>(v[at]) << 24 | v[at + 1] << 16 | v[at + 2] << 8 | v[at + 3];
}

// Chunk types with data lengths, in file order.
std::vector<std::pair<std::string, std::uint32_t>> Chunks(const std::vector<std::uint8_t>& png) {
  std::vector<std::pair<std::string, std::uint32_t>> chunks;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint32_t length = Be32(png, at);
    chunks.emplace_back(std::string(png.begin() + at + 4, png.begin() + at + 8), length);
    at += 12 + length;
  }
  return chunks;
}

TEST(WuQuantizer, UpTo256ColoursComeBackExactly) {
  // 256 colours off their cells' corners, each in a 5-bit cell of its own,
  // with different pixel counts: each gets a box of its own, and refining
  // moves no entry away from its colour.
  std::vector<std::array<std::uint8_t, 3>> colours;
  for (int i = 0; i < kPaletteEntries; ++i) {
    colours.push_back({static_cast<std::uint8_t>(i % 8 * 32 + 5),
                       static_cast<std::uint8_t>(i / 8 % 8 * 32 + 2),
                       static_cast<std::uint8_t>(i / 64 * 64 + 7)});
  }
  const int width = 97, height = 31;  // not a multiple of 256 pixels
  auto colourAt = [&](int x, int y) -> const std::array<std::uint8_t, 3>& {
    return colours[static_cast<std::size_t>((x * x + y * width) % kPaletteEntries)];
  };
  DibImage image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const auto& c = colourAt(x, y);
      SetPixel(image.View(), x, y, c[0], c[1], c[2]);
    }
  const QuantizedImage q = QuantizeImage(image.View());
  using ColourSet = std::set<std::array<std::uint8_t, 3>>;
  ColourSet entries;
  for (int k = 0; k < kPaletteEntries; ++k) {
    entries.insert({q.palette[k * 3], q.palette[k * 3 + 1], q.palette[k * 3 + 2]});
  }
  EXPECT_EQ(entries, ColourSet(colours.begin(), colours.end()));
  for (int y = 0; y < height; ++y) {
    EXPECT_EQ(q.imageData[y * (width + 1)], 0);  // filter byte
    for (int x = 0; x < width; ++x) {
      const std::uint8_t index = q.imageData[y * (width + 1) + 1 + x];
      const auto& c = colourAt(x, y);
      ASSERT_EQ(q.palette[index * 3], c[0]) << x << "," << y;
      ASSERT_EQ(q.palette[index * 3 + 1], c[1]);
      ASSERT_EQ(q.palette[index * 3 + 2], c[2]);
    }
  }
}

TEST(WuQuantizer, UnusedEntriesRepeatEntryZero) {
  DibImage image = test::FlatPicture(4, 4, 10, 20, 30);
  SetPixel(image.View(), 0, 0, 250, 250, 250);
  WuQuantizer quantizer;
  quantizer.AddPixels(image.View().bits, 16);
  const Palette palette = quantizer.BuildPalette();
  for (int k = 2; k < kPaletteEntries; ++k) {
    EXPECT_EQ(palette[k * 3], palette[0]);
    EXPECT_EQ(palette[k * 3 + 1], palette[1]);
    EXPECT_EQ(palette[k * 3 + 2], palette[2]);
  }
}

TEST(WuQuantizer, SumsDoNotOverflowOnHugeScreens) {
  // 20 million white pixels (five 4K monitors): 255 * 20M exceeds 32 bits.
  DibImage row = test::FlatPicture(1 << 16, 1, 255, 255, 255);
  WuQuantizer quantizer;
  for (int i = 0; i < 320; ++i) quantizer.AddPixels(row.View().bits, 1 << 16);
  const Palette palette = quantizer.BuildPalette();
  EXPECT_EQ(palette[0], 255);
  EXPECT_EQ(palette[1], 255);
  EXPECT_EQ(palette[2], 255);
}

TEST(WuQuantizer, MeanOfABoxIsWeighted) {
  // Two shades in one 5-bit cell: one box, their weighted mean, truncated by
  // the box cut and rounded by the refinement.
  DibImage image(4, 1);
  SetPixel(image.View(), 0, 0, 64, 64, 64);
  SetPixel(image.View(), 1, 0, 64, 64, 64);
  SetPixel(image.View(), 2, 0, 64, 64, 64);
  SetPixel(image.View(), 3, 0, 71, 71, 71);
  WuQuantizer quantizer;
  quantizer.AddPixels(image.View().bits, 4);
  EXPECT_EQ(quantizer.BuildPalette()[0], 65);             // 263 / 4
  EXPECT_EQ(QuantizeImage(image.View()).palette[0], 66);  // 65.75
}

TEST(PaletteMapper, NearestBySumOfDifferencesFirstWins) {
  Palette palette{};
  const std::uint8_t entries[][3] = {{0, 0, 0}, {100, 100, 100}, {100, 100, 100}, {200, 0, 0}};
  for (int k = 0; k < 4; ++k)
    for (int c = 0; c < 3; ++c) palette[k * 3 + c] = entries[k][c];
  for (int k = 4; k < kPaletteEntries; ++k)
    for (int c = 0; c < 3; ++c) palette[k * 3 + c] = entries[0][c];
  PaletteMapper mapper(palette);
  EXPECT_EQ(mapper.IndexOf(90, 100, 110), 1);  // the first of two equal entries
  EXPECT_EQ(mapper.IndexOf(180, 10, 0), 3);
  EXPECT_EQ(mapper.IndexOf(8, 0, 0), 0);
  EXPECT_EQ(mapper.IndexOf(50, 50, 48), 0);  // 148 to black, 152 to grey
}

TEST(PaletteMapper, ACellIsMappedForTheMeanOfItsPixels) {
  // 64 and 71 share a 5-bit cell; with entries at 60 and 70 the first
  // colour seen (64) alone would pick 60, the cell's mean (69) picks 70.
  Palette palette{};
  palette[0] = palette[1] = palette[2] = 60;
  for (int k = 1; k < kPaletteEntries; ++k)
    palette[k * 3] = palette[k * 3 + 1] = palette[k * 3 + 2] = 70;
  std::vector<std::uint32_t> means(1 << 15, 0);
  means[(64 >> 3) << 10 | (64 >> 3) << 5 | (64 >> 3)] = 69u << 16 | 69u << 8 | 69u;
  PaletteMapper withMeans(palette, &means);
  EXPECT_EQ(withMeans.IndexOf(64, 64, 64), 1);
  EXPECT_EQ(withMeans.IndexOf(71, 71, 71), 1);
  PaletteMapper plain(palette);
  EXPECT_EQ(plain.IndexOf(64, 64, 64), 0);
  EXPECT_EQ(plain.IndexOf(71, 71, 71), 0);  // cached for the whole cell

  DibImage image(4, 1);
  for (int x = 0; x < 4; ++x) SetPixel(image.View(), x, 0, x < 1 ? 64 : 71, 64, 64);
  WuQuantizer quantizer;
  quantizer.AddPixels(image.View().bits, 4);
  quantizer.BuildPalette();
  EXPECT_EQ(quantizer.CellMeans()[(64 >> 3) << 10 | (64 >> 3) << 5 | (64 >> 3)],
            (69u << 16) | (64u << 8) | 64u);  // (64 + 3 * 71) / 4 = 69.25
}

TEST(GreyImage, RampAndPacking) {
  DibImage image(3, 2);  // odd width: the last byte of each row is padded
  const std::uint8_t levels[] = {0, 14, 15, 255, 100, 133};
  for (int i = 0; i < 6; ++i) SetPixel(image.View(), i % 3, i / 3, levels[i], levels[i], levels[i]);
  SetPixel(image.View(), 2, 1, 255, 0, 0);  // red: (255 * 77) / 256 = 76
  const std::vector<std::uint8_t> data = GreyImageData(image.View());
  ASSERT_EQ(data.size(), 2u * (2 + 1));
  // 0 -> 0; 14 -> 0 (tie with 28: the first wins); 15 -> 1 (28).
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[1], 0x00);
  EXPECT_EQ(data[2], 0x10);
  // 255 -> 15; 100 -> 4 (92 is 8 away, 109 is 9); 76 -> 3 (73).
  EXPECT_EQ(data[3], 0);
  EXPECT_EQ(data[4], 0xF4);
  EXPECT_EQ(data[5], 0x30);
  // The pixels themselves turned grey.
  const std::uint8_t* red = image.View().Pixel(2, 1);
  EXPECT_EQ(red[0], 76);
  EXPECT_EQ(red[1], 76);
  EXPECT_EQ(red[2], 76);
}

TEST(ScreenshotPng, PaletteFileLayout) {
  DibImage image = test::ScreenLikePicture(101, 37);
  const std::vector<std::uint8_t> png = EncodeScreenshotPng(image.View(), kPngPaletteOnly);
  ASSERT_GT(png.size(), 8u);
  const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  EXPECT_TRUE(std::equal(signature, signature + 8, png.begin()));
  const auto chunks = Chunks(png);
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[0], std::make_pair(std::string("IHDR"), 13u));
  EXPECT_EQ(chunks[1], std::make_pair(std::string("PLTE"), 768u));
  EXPECT_EQ(chunks[2].first, "IDAT");
  EXPECT_EQ(chunks[3], std::make_pair(std::string("IEND"), 0u));
  EXPECT_EQ(Be32(png, 16), 101u);
  EXPECT_EQ(Be32(png, 20), 37u);
  EXPECT_EQ(png[24], 8);  // bit depth
  EXPECT_EQ(png[25], 3);  // indexed
  const std::size_t idat = 8 + 25 + 12 + 768;
  EXPECT_EQ(png[idat + 8], 0x78);
  EXPECT_EQ(png[idat + 9], 0x01);
  EXPECT_EQ(Be32(png, png.size() - 4), 0xAE426082u);  // IEND's CRC
}

TEST(ScreenshotPng, ModesChooseTheVariant) {
  // Noise does not quantise well: its palette PNG is far over 50 KiB.
  DibImage noise = test::NoisePicture(300, 300);
  DibImage copy = noise;
  const std::vector<std::uint8_t> palette = EncodeScreenshotPng(copy.View(), 0);
  ASSERT_GT(palette.size(), 51200u);
  EXPECT_EQ(palette[24], 8);
  EXPECT_EQ(copy.Bytes(), noise.Bytes());  // mode 0 leaves the pixels alone

  copy = noise;
  const std::vector<std::uint8_t> shorter = EncodeScreenshotPng(copy.View(), 2);
  EXPECT_EQ(shorter[24], 4);  // grey won
  EXPECT_LT(shorter.size(), palette.size());

  copy = noise;
  EXPECT_EQ(EncodeScreenshotPng(copy.View(), 5), palette);  // under 300 KiB: palette stays

  DibImage small = test::ScreenLikePicture(64, 48);
  EXPECT_EQ(EncodeScreenshotPng(small.View(), 2)[24], 8);

  copy = noise;
  const std::vector<std::uint8_t> grey = EncodeScreenshotPng(copy.View(), kPngGreyOnly);
  EXPECT_EQ(grey[24], 4);
  EXPECT_EQ(Chunks(grey)[1], std::make_pair(std::string("PLTE"), 48u));
  for (std::size_t i = 0; i < copy.Bytes().size(); i += 4) {
    ASSERT_EQ(copy.Bytes()[i], copy.Bytes()[i + 1]);
    ASSERT_EQ(copy.Bytes()[i], copy.Bytes()[i + 2]);
  }
}

TEST(ScreenshotPng, FlatScreenCompressesToAFewHundredBytes) {
  DibImage flat = test::FlatPicture(640, 480, 0, 120, 215);
  const std::vector<std::uint8_t> png = EncodeScreenshotPng(flat.View(), 0);
  const auto chunks = Chunks(png);
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_LT(chunks[2].second, 600u);
  EXPECT_EQ(png[24], 8);
}

TEST(ScreenshotPng, DeflateFailureGivesNoFile) {
  const RawCompressor failing = [](const void*, void*, std::size_t, std::size_t) -> std::size_t {
    return 0;
  };
  for (int mode = 0; mode <= 5; ++mode) {
    DibImage image = test::ScreenLikePicture(20, 10);
    EXPECT_TRUE(EncodeScreenshotPng(image.View(), mode, failing).empty()) << mode;
  }
  EXPECT_TRUE(BuildIndexedPng(1, 1, 8, {}, std::vector<std::uint8_t>{0, 0}, failing).empty());
  DibImage empty(0, 0);
  EXPECT_TRUE(EncodeScreenshotPng(empty.View(), 0).empty());
}

TEST(FitSize, KeepsAspectRatioInsideTheBox) {
  auto fit = [](int w, int h, int mw, int mh) {
    const PictureSize s = FitSize(w, h, mw, mh);
    return std::make_pair(s.width, s.height);
  };
  EXPECT_EQ(fit(1024, 768, 160, 120), std::make_pair(160, 120));
  EXPECT_EQ(fit(1280, 1024, 160, 120), std::make_pair(150, 120));
  EXPECT_EQ(fit(800, 200, 160, 120), std::make_pair(160, 40));
  EXPECT_EQ(fit(50, 40, 160, 120), std::make_pair(150, 120));  // enlarges to fit
  // Extreme ratios and empty boxes still give at least one pixel.
  EXPECT_EQ(fit(10000, 1, 160, 120), std::make_pair(160, 1));
  EXPECT_EQ(fit(1, 10000, 160, 120), std::make_pair(1, 120));
  EXPECT_EQ(fit(100, 100, 0, 0), std::make_pair(1, 1));
  EXPECT_EQ(fit(100, 50, 0, 10), std::make_pair(1, 1));
  EXPECT_EQ(fit(100, 50, 10, 0), std::make_pair(1, 1));
}

TEST(ResizeMitchell, FlatStaysFlatAndFourthByteIsZero) {
  for (auto [sw, sh, dw, dh] :
       {std::array{200, 100, 37, 19}, std::array{5, 3, 40, 30}, std::array{1, 1, 3, 2},
        std::array{3, 2, 1, 1}, std::array{1, 500, 1, 7}}) {
    DibImage src = test::FlatPicture(sw, sh, 200, 100, 50);
    DibImage dst(dw, dh);
    std::fill(dst.Bytes().begin(), dst.Bytes().end(), 0xAA);
    ResizeMitchell(src.View(), dst.View());
    for (std::size_t i = 0; i < dst.Bytes().size(); i += 4) {
      ASSERT_EQ(dst.Bytes()[i], 50) << sw << "x" << sh << " -> " << dw << "x" << dh;
      ASSERT_EQ(dst.Bytes()[i + 1], 100);
      ASSERT_EQ(dst.Bytes()[i + 2], 200);
      ASSERT_EQ(dst.Bytes()[i + 3], 0);
    }
  }
}

TEST(ResizeMitchell, OvershootIsClamped) {
  // A hard black/white edge rings: values must clamp at 0 and 255.
  DibImage src(40, 1);
  for (int x = 0; x < 40; ++x) {
    const std::uint8_t v = x < 20 ? 0 : 255;
    SetPixel(src.View(), x, 0, v, v, v);
  }
  DibImage dst(97, 1);
  ResizeMitchell(src.View(), dst.View());
  // Unclamped, the undershoot before the edge would wrap to near 255 and
  // the overshoot after it to near 0.
  for (int x = 0; x < 44; ++x) EXPECT_EQ(dst.View().Pixel(x, 0)[0], 0) << x;
  for (int x = 52; x < 97; ++x) EXPECT_EQ(dst.View().Pixel(x, 0)[0], 255) << x;
}

TEST(Bmp, FileLayout) {
  DibImage image = test::ScreenLikePicture(3, 2);
  const std::vector<std::uint8_t> bmp = EncodeBmp(image.View());
  ASSERT_EQ(bmp.size(), 54u + 3 * 2 * 4);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(ReadLe32(&bmp[2]), bmp.size());
  EXPECT_EQ(ReadLe32(&bmp[6]), 0u);
  EXPECT_EQ(ReadLe32(&bmp[10]), 54u);
  EXPECT_EQ(ReadLe32(&bmp[14]), 40u);
  EXPECT_EQ(ReadLe32(&bmp[18]), 3u);
  EXPECT_EQ(ReadLe32(&bmp[22]), 2u);
  EXPECT_EQ(bmp[26] | bmp[27] << 8, 1);
  EXPECT_EQ(bmp[28] | bmp[29] << 8, 32);
  EXPECT_EQ(ReadLe32(&bmp[30]), 0u);
  EXPECT_EQ(ReadLe32(&bmp[34]), 24u);
  EXPECT_TRUE(std::equal(image.Bytes().begin(), image.Bytes().end(), bmp.begin() + 54));
}

}  // namespace
}  // namespace corvan::crash
