#pragma once
// Xiaolin Wu's colour quantiser (Graphics Gems II): a 33 x 33 x 33 histogram
// of 5-bit red, green and blue with cumulative moments; the colour cube is
// cut into boxes of minimal variance, one palette entry per box.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crash/codec/DibPixels.h"

namespace corvan::crash {

inline constexpr int kPaletteEntries = 256;
// Red, green, blue per entry.
using Palette = std::array<std::uint8_t, kPaletteEntries * 3>;

// Colours are looked up per cell of 5 bits of red, green and blue; the key of
// a cell is red << 10 | green << 5 | blue.
inline constexpr int kColourCells = 1 << 15;
inline constexpr int CellKey(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  return (red >> 3) << 10 | (green >> 3) << 5 | (blue >> 3);
}

// One cell that holds pixels: their count, channel sums and the sum of their
// squared channel values (64-bit: a virtual screen of several 4K monitors
// overflows 32 bits).
struct ColourCell {
  int key = 0;
  std::int64_t weight = 0, red = 0, green = 0, blue = 0, squares = 0;

  // The mean colour of the pixels, rounded, as red << 16 | green << 8 | blue.
  std::uint32_t MeanColour() const;
};

class WuQuantizer {
 public:
  WuQuantizer();

  // Counts count pixels of blue, green, red, unused. May be called several
  // times; the sums are 64-bit, so images of any size add up exactly.
  void AddPixels(const std::uint8_t* bgrx, std::size_t count);

  // The palette: one entry per box, the weighted mean colour of its pixels
  // (integer division). When the image needs fewer boxes than entries, the
  // unused entries repeat entry 0. Call once, after the last AddPixels.
  Palette BuildPalette();

  // The mean colour of the pixels of each cell, rounded, as
  // red << 16 | green << 8 | blue, by cell key. Filled by BuildPalette.
  const std::vector<std::uint32_t>& CellMeans() const { return cellMeans_; }

  // The cells that hold pixels, by ascending key. Filled by BuildPalette.
  const std::vector<ColourCell>& Cells() const { return cells_; }

 private:
  static constexpr int kSide = 33;
  static constexpr int kCells = kSide * kSide * kSide;
  struct Box;
  struct Moments;

  void CollectCells();
  void Accumulate();
  bool Cut(Box& set1, Box& set2) const;
  double Variance(const Box& box) const;
  double Maximize(const Box& box, int direction, int first, int last, int& cut,
                  const Moments& whole) const;
  Moments Volume(const Box& box) const;
  Moments Bottom(const Box& box, int direction) const;
  Moments Top(const Box& box, int direction, int position) const;

  // Per cell: pixel count, sums of red, green and blue, sum of squares.
  std::vector<std::int64_t> weight_, red_, green_, blue_, squares_;
  std::vector<std::uint32_t> cellMeans_;
  std::vector<ColourCell> cells_;
};

// Finds each pixel's palette entry: the nearest by the sum of absolute
// channel differences, the first of equal distances winning. Answers are
// kept per 15-bit colour, so each colour cell is searched once. With the
// quantiser's cell means the search is for the mean colour of the cell's
// pixels, which serves all of them best; otherwise for the first colour
// asked for.
class PaletteMapper {
 public:
  explicit PaletteMapper(const Palette& palette,
                         const std::vector<std::uint32_t>* cellMeans = nullptr);
  std::uint8_t IndexOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

 private:
  static constexpr std::int16_t kUnknown = -1;
  int Nearest(int red, int green, int blue) const;

  const Palette& palette_;
  const std::vector<std::uint32_t>* cellMeans_;
  std::vector<std::int16_t> cache_;
};

// A quantised picture as the PNG encoder takes it: the palette and the image
// data (rows top to bottom, each a filter byte 0 and one index per pixel).
struct QuantizedImage {
  Palette palette;
  std::vector<std::uint8_t> imageData;
};

// Wu's palette refined by RefinePalette, and every pixel's entry.
QuantizedImage QuantizeImage(const DibPixels& pixels);

}  // namespace corvan::crash
