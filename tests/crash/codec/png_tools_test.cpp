// PNG and BMP files checked by tools nobody here wrote: pngcheck -v,
// ImageMagick's identify, convert and compare, and a decoder in Python that
// uses nothing but zlib. Native build only.
#include <gtest/gtest.h>

#include <sstream>

#include "common/ExternalTools.h"
#include "TestPictures.h"
#include "crash/codec/BmpFile.h"
#include "crash/codec/MitchellResize.h"
#include "crash/codec/ScreenshotPng.h"
#include "crash/codec/WuQuantizer.h"

namespace corvan::crash {
namespace {

using test::Quote;
using test::RunTool;

std::string PngCheck(const std::string& path) {
  const test::CommandResult r = RunTool("pngcheck -v " + Quote(path));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("No errors detected"), std::string::npos) << r.output;
  return r.output;
}

std::string Identify(const std::string& path) {
  const test::CommandResult r = RunTool("identify -format '%m %w %h' " + Quote(path));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return r.output;
}

// ImageMagick's reading of the picture: width * height * 3 bytes of RGB.
std::vector<std::uint8_t> ImageMagickRgb(const std::string& path) {
  const test::CommandResult r = RunTool("convert " + Quote(path) + " -depth 8 rgb:-");
  EXPECT_EQ(r.exitCode, 0);
  return {r.output.begin(), r.output.end()};
}

struct DecodedPng {
  int width = 0, height = 0, depth = 0, paletteBytes = 0;
  std::vector<std::vector<std::uint8_t>> rows;  // palette indices
};

DecodedPng PythonDecode(const std::string& path) {
  const test::CommandResult r =
      RunTool("python3 " + Quote(test::ScriptDir() + "/png_decode.py") + " " + Quote(path));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  DecodedPng png;
  std::istringstream in(r.output);
  in >> png.width >> png.height >> png.depth >> png.paletteBytes;
  std::string hex;
  while (in >> hex) {
    std::vector<std::uint8_t> row;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      row.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    png.rows.push_back(row);
  }
  return png;
}

TEST(PngTools, PaletteModeAtOddSizes) {
  test::TempDir dir;
  for (auto [w, h] : {std::pair{1, 1}, std::pair{7, 5}, std::pair{33, 17}, std::pair{257, 3},
                      std::pair{320, 200}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    DibImage image = test::ScreenLikePicture(w, h, static_cast<unsigned>(w));
    const QuantizedImage expected = QuantizeImage(image.View());
    const std::vector<std::uint8_t> png = EncodeScreenshotPng(image.View(), kPngPaletteOnly);
    const std::string path = dir / "p.png";
    test::WriteFile(path, png);

    const std::string check = PngCheck(path);
    EXPECT_NE(check.find("256 palette entries"), std::string::npos) << check;
    EXPECT_NE(check.find("8-bit palette"), std::string::npos) << check;
    EXPECT_EQ(Identify(path), "PNG " + std::to_string(w) + " " + std::to_string(h));

    // Python's zlib sees exactly the indices the quantiser chose ...
    const DecodedPng decoded = PythonDecode(path);
    ASSERT_EQ(decoded.width, w);
    ASSERT_EQ(decoded.height, h);
    EXPECT_EQ(decoded.depth, 8);
    EXPECT_EQ(decoded.paletteBytes, 768);
    ASSERT_EQ(decoded.rows.size(), static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
      const auto begin = expected.imageData.begin() + y * (w + 1) + 1;
      ASSERT_TRUE(std::equal(begin, begin + w, decoded.rows[y].begin())) << "row " << y;
    }
    // ... and ImageMagick the palette colours of those indices.
    const std::vector<std::uint8_t> rgb = ImageMagickRgb(path);
    ASSERT_EQ(rgb.size(), static_cast<std::size_t>(w * h * 3));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int index = decoded.rows[y][x];
        for (int c = 0; c < 3; ++c) {
          ASSERT_EQ(rgb[(y * w + x) * 3 + c], expected.palette[index * 3 + c]) << x << "," << y;
        }
      }
  }
}

TEST(PngTools, GreyModeAtOddSizes) {
  test::TempDir dir;
  for (auto [w, h] : {std::pair{1, 1}, std::pair{7, 5}, std::pair{2, 2}, std::pair{101, 40}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    DibImage image = test::ScreenLikePicture(w, h, 3);
    const std::vector<std::uint8_t> png = EncodeScreenshotPng(image.View(), kPngGreyOnly);
    const std::string path = dir / "g.png";
    test::WriteFile(path, png);
    const std::string check = PngCheck(path);
    EXPECT_NE(check.find("16 palette entries"), std::string::npos) << check;
    EXPECT_NE(check.find("4-bit palette"), std::string::npos) << check;

    // The bitmap is grey now; every decoded pixel is the ramp level nearest
    // to it, as ImageMagick reads the file.
    const std::vector<std::uint8_t> rgb = ImageMagickRgb(path);
    ASSERT_EQ(rgb.size(), static_cast<std::size_t>(w * h * 3));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const std::uint8_t grey = image.View().Pixel(x, y)[0];
        int best = 0;
        for (int k = 1; k < 16; ++k)
          if (std::abs(kGreyRamp[k] - grey) < std::abs(kGreyRamp[best] - grey)) best = k;
        ASSERT_EQ(rgb[(y * w + x) * 3], kGreyRamp[best]) << x << "," << y;
        ASSERT_EQ(rgb[(y * w + x) * 3 + 1], kGreyRamp[best]);
      }
    const DecodedPng decoded = PythonDecode(path);
    EXPECT_EQ(decoded.depth, 4);
    EXPECT_EQ(decoded.paletteBytes, 48);
  }
}

TEST(PngTools, EveryModeGivesAValidFile) {
  test::TempDir dir;
  for (int mode = 0; mode <= 5; ++mode) {
    for (bool noisy : {false, true}) {
      DibImage image = noisy ? test::NoisePicture(300, 300) : test::ScreenLikePicture(300, 300);
      const std::string path = dir / "m.png";
      test::WriteFile(path, EncodeScreenshotPng(image.View(), mode));
      SCOPED_TRACE("mode " + std::to_string(mode) + (noisy ? " noise" : " screen"));
      // Grey wins for noise in mode 2 (its palette PNG is over 50 KiB but
      // under 100 KiB); screen content stays in colour.
      const bool grey = mode == 1 || (noisy && mode == 2);
      EXPECT_NE(PngCheck(path).find(grey ? "4-bit palette" : "8-bit palette"), std::string::npos);
      EXPECT_EQ(Identify(path), "PNG 300 300");
    }
  }
}

TEST(PngTools, ScaledPictureAgreesWithImageMagicksMitchell) {
  test::TempDir dir;
  DibImage src(240, 180);
  for (int y = 0; y < 180; ++y)
    for (int x = 0; x < 240; ++x)  // smooth: resampling conventions hardly matter
      test::SetPixel(src.View(), x, y, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                     static_cast<std::uint8_t>((x + y) / 2));
  test::WriteFile(dir / "src.bmp", EncodeBmp(src.View()));
  for (auto [w, h] : {std::pair{160, 120}, std::pair{37, 29}, std::pair{480, 360}}) {
    DibImage ours(w, h);
    ResizeMitchell(src.View(), ours.View());
    test::WriteFile(dir / "ours.bmp", EncodeBmp(ours.View()));
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    const test::CommandResult theirs =
        RunTool("convert " + Quote(dir / "src.bmp") + " -filter Mitchell -resize " + size + "! " +
                Quote(dir / "theirs.png"));
    ASSERT_EQ(theirs.exitCode, 0) << theirs.output;
    // Mean absolute error, as a fraction of the range.
    const test::CommandResult mae = RunTool("compare -metric MAE " + Quote(dir / "ours.bmp") + " " +
                                            Quote(dir / "theirs.png") + " null:");
    const double error = std::stod(mae.output.substr(mae.output.find('(') + 1));
    EXPECT_LT(error, 0.015) << size << ": " << mae.output;
  }
}

TEST(PngTools, BmpAsImageMagickReadsIt) {
  test::TempDir dir;
  for (auto [w, h] : {std::pair{1, 1}, std::pair{5, 3}, std::pair{64, 33}}) {
    DibImage image = test::ScreenLikePicture(w, h, 9);
    const std::string path = dir / "b.bmp";
    test::WriteFile(path, EncodeBmp(image.View()));
    const std::vector<std::uint8_t> rgb = ImageMagickRgb(path);
    ASSERT_EQ(rgb.size(), static_cast<std::size_t>(w * h * 3));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(rgb[(y * w + x) * 3 + c], image.View().Pixel(x, y)[2 - c]) << x << "," << y;
  }
}

}  // namespace
}  // namespace corvan::crash
