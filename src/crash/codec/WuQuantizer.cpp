#include "crash/codec/WuQuantizer.h"

#include <cstdlib>

#include "crash/codec/PaletteRefinement.h"

namespace corvan::crash {
namespace {

enum Direction { kRed, kGreen, kBlue };

constexpr int CellIndex(int r, int g, int b) { return (r * 33 + g) * 33 + b; }

// Sum of one cumulative moment over a box (inclusion-exclusion of corners).
template <typename Box>
std::int64_t BoxSum(const Box& x, const std::vector<std::int64_t>& m) {
  return m[CellIndex(x.r1, x.g1, x.b1)] - m[CellIndex(x.r1, x.g1, x.b0)] -
         m[CellIndex(x.r1, x.g0, x.b1)] + m[CellIndex(x.r1, x.g0, x.b0)] -
         m[CellIndex(x.r0, x.g1, x.b1)] + m[CellIndex(x.r0, x.g1, x.b0)] +
         m[CellIndex(x.r0, x.g0, x.b1)] - m[CellIndex(x.r0, x.g0, x.b0)];
}

}  // namespace

std::uint32_t ColourCell::MeanColour() const {
  const auto mean = [w = weight](std::int64_t sum) {
    return static_cast<std::uint32_t>((sum + w / 2) / w);
  };
  return mean(red) << 16 | mean(green) << 8 | mean(blue);
}

// A box of cells: (r0, r1] x (g0, g1] x (b0, b1] in histogram coordinates.
struct WuQuantizer::Box {
  int r0 = 0, r1 = 0, g0 = 0, g1 = 0, b0 = 0, b1 = 0;
  int Volume() const { return (r1 - r0) * (g1 - g0) * (b1 - b0); }
};

struct WuQuantizer::Moments {
  std::int64_t weight = 0, red = 0, green = 0, blue = 0;
  Moments& operator+=(const Moments& o) {
    weight += o.weight, red += o.red, green += o.green, blue += o.blue;
    return *this;
  }
  Moments operator-(const Moments& o) const {
    return {weight - o.weight, red - o.red, green - o.green, blue - o.blue};
  }
  // Sum of squared channel sums over the weight: the part of the variance
  // that a cut can change.
  double Spread() const {
    const double r = static_cast<double>(red), g = static_cast<double>(green),
                 b = static_cast<double>(blue);
    return (r * r + g * g + b * b) / static_cast<double>(weight);
  }
};

WuQuantizer::WuQuantizer()
    : weight_(kCells), red_(kCells), green_(kCells), blue_(kCells), squares_(kCells) {}

void WuQuantizer::AddPixels(const std::uint8_t* bgrx, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, bgrx += 4) {
    const int b = bgrx[0], g = bgrx[1], r = bgrx[2];
    const int cell = CellIndex((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
    weight_[cell] += 1;
    red_[cell] += r;
    green_[cell] += g;
    blue_[cell] += b;
    squares_[cell] += r * r + g * g + b * b;
  }
}

// Turns the histogram into cumulative moments: each cell then holds the sums
// over the box from the origin to that cell.
void WuQuantizer::Accumulate() {
  std::vector<std::int64_t>* const tables[5] = {&weight_, &red_, &green_, &blue_, &squares_};
  for (int r = 1; r < kSide; ++r) {
    std::int64_t area[kSide][5] = {};
    for (int g = 1; g < kSide; ++g) {
      std::int64_t line[5] = {};
      for (int b = 1; b < kSide; ++b) {
        const int cell = CellIndex(r, g, b);
        const int below = CellIndex(r - 1, g, b);
        for (int t = 0; t < 5; ++t) {
          std::vector<std::int64_t>& m = *tables[t];
          line[t] += m[cell];
          area[b][t] += line[t];
          m[cell] = m[below] + area[b][t];
        }
      }
    }
  }
}

WuQuantizer::Moments WuQuantizer::Volume(const Box& x) const {
  return {BoxSum(x, weight_), BoxSum(x, red_), BoxSum(x, green_), BoxSum(x, blue_)};
}

// The part of Volume that does not depend on the cut position along
// direction (with the sign it has in Volume), and the part that does.
WuQuantizer::Moments WuQuantizer::Bottom(const Box& x, int direction) const {
  auto part = [&](const std::vector<std::int64_t>& m) -> std::int64_t {
    switch (direction) {
      case kRed:
        return -m[CellIndex(x.r0, x.g1, x.b1)] + m[CellIndex(x.r0, x.g1, x.b0)] +
               m[CellIndex(x.r0, x.g0, x.b1)] - m[CellIndex(x.r0, x.g0, x.b0)];
      case kGreen:
        return -m[CellIndex(x.r1, x.g0, x.b1)] + m[CellIndex(x.r1, x.g0, x.b0)] +
               m[CellIndex(x.r0, x.g0, x.b1)] - m[CellIndex(x.r0, x.g0, x.b0)];
      default:
        return -m[CellIndex(x.r1, x.g1, x.b0)] + m[CellIndex(x.r1, x.g0, x.b0)] +
               m[CellIndex(x.r0, x.g1, x.b0)] - m[CellIndex(x.r0, x.g0, x.b0)];
    }
  };
  return {part(weight_), part(red_), part(green_), part(blue_)};
}

WuQuantizer::Moments WuQuantizer::Top(const Box& x, int direction, int p) const {
  auto part = [&](const std::vector<std::int64_t>& m) -> std::int64_t {
    switch (direction) {
      case kRed:
        return m[CellIndex(p, x.g1, x.b1)] - m[CellIndex(p, x.g1, x.b0)] -
               m[CellIndex(p, x.g0, x.b1)] + m[CellIndex(p, x.g0, x.b0)];
      case kGreen:
        return m[CellIndex(x.r1, p, x.b1)] - m[CellIndex(x.r1, p, x.b0)] -
               m[CellIndex(x.r0, p, x.b1)] + m[CellIndex(x.r0, p, x.b0)];
      default:
        return m[CellIndex(x.r1, x.g1, p)] - m[CellIndex(x.r1, x.g0, p)] -
               m[CellIndex(x.r0, x.g1, p)] + m[CellIndex(x.r0, x.g0, p)];
    }
  };
  return {part(weight_), part(red_), part(green_), part(blue_)};
}

double WuQuantizer::Variance(const Box& x) const {
  const Moments m = Volume(x);
  if (m.weight == 0) return 0;
  return static_cast<double>(BoxSum(x, squares_)) - m.Spread();
}

// The best cut of box along direction among the positions first..last-1:
// the one that leaves the largest sum of Spread over both halves.
double WuQuantizer::Maximize(const Box& box, int direction, int first, int last, int& cut,
                             const Moments& whole) const {
  const Moments base = Bottom(box, direction);
  double best = 0;
  cut = -1;
  for (int i = first; i < last; ++i) {
    Moments lower = base;
    lower += Top(box, direction, i);
    if (lower.weight == 0) continue;
    const Moments upper = whole - lower;
    if (upper.weight == 0) continue;
    const double value = lower.Spread() + upper.Spread();
    if (value > best) {
      best = value;
      cut = i;
    }
  }
  return best;
}

bool WuQuantizer::Cut(Box& set1, Box& set2) const {
  const Moments whole = Volume(set1);
  int cutR, cutG, cutB;
  const double maxR = Maximize(set1, kRed, set1.r0 + 1, set1.r1, cutR, whole);
  const double maxG = Maximize(set1, kGreen, set1.g0 + 1, set1.g1, cutG, whole);
  const double maxB = Maximize(set1, kBlue, set1.b0 + 1, set1.b1, cutB, whole);
  int direction;
  if (maxR >= maxG && maxR >= maxB) {
    direction = kRed;
    if (cutR < 0) return false;  // the box cannot be split
  } else if (maxG >= maxR && maxG >= maxB) {
    direction = kGreen;
  } else {
    direction = kBlue;
  }
  set2.r1 = set1.r1;
  set2.g1 = set1.g1;
  set2.b1 = set1.b1;
  switch (direction) {
    case kRed:
      set2.r0 = set1.r1 = cutR;
      set2.g0 = set1.g0;
      set2.b0 = set1.b0;
      break;
    case kGreen:
      set2.g0 = set1.g1 = cutG;
      set2.r0 = set1.r0;
      set2.b0 = set1.b0;
      break;
    default:
      set2.b0 = set1.b1 = cutB;
      set2.r0 = set1.r0;
      set2.g0 = set1.g0;
      break;
  }
  return true;
}

// Keeps the cells that hold pixels before Accumulate turns the histogram
// into cumulative moments.
void WuQuantizer::CollectCells() {
  cellMeans_.assign(kColourCells, 0);
  cells_.clear();
  for (int r = 1; r < kSide; ++r)
    for (int g = 1; g < kSide; ++g)
      for (int b = 1; b < kSide; ++b) {
        const int cell = CellIndex(r, g, b);
        const std::int64_t w = weight_[cell];
        if (w == 0) continue;
        const int key = (r - 1) << 10 | (g - 1) << 5 | (b - 1);
        cells_.push_back({key, w, red_[cell], green_[cell], blue_[cell], squares_[cell]});
        cellMeans_[static_cast<std::size_t>(key)] = cells_.back().MeanColour();
      }
}

Palette WuQuantizer::BuildPalette() {
  CollectCells();
  Accumulate();
  std::vector<Box> boxes(kPaletteEntries);
  std::vector<double> variance(kPaletteEntries, 0.0);
  boxes[0].r1 = boxes[0].g1 = boxes[0].b1 = kSide - 1;
  int count = kPaletteEntries;
  int next = 0;
  for (int i = 1; i < kPaletteEntries; ++i) {
    if (Cut(boxes[next], boxes[i])) {
      variance[next] = boxes[next].Volume() > 1 ? Variance(boxes[next]) : 0;
      variance[i] = boxes[i].Volume() > 1 ? Variance(boxes[i]) : 0;
    } else {
      variance[next] = 0;  // never try this box again
      --i;
    }
    next = 0;
    double largest = variance[0];
    for (int k = 1; k <= i; ++k) {
      if (variance[k] > largest) {
        largest = variance[k];
        next = k;
      }
    }
    if (largest <= 0) {
      count = i + 1;
      break;
    }
  }

  Palette palette{};
  for (int k = 0; k < count; ++k) {
    const Moments m = Volume(boxes[k]);
    if (m.weight == 0) continue;  // filled from entry 0 below
    palette[k * 3 + 0] = static_cast<std::uint8_t>(m.red / m.weight);
    palette[k * 3 + 1] = static_cast<std::uint8_t>(m.green / m.weight);
    palette[k * 3 + 2] = static_cast<std::uint8_t>(m.blue / m.weight);
  }
  for (int k = 1; k < kPaletteEntries; ++k) {
    if (k >= count || Volume(boxes[k]).weight == 0) {
      for (int c = 0; c < 3; ++c) palette[k * 3 + c] = palette[c];
    }
  }
  return palette;
}

PaletteMapper::PaletteMapper(const Palette& palette, const std::vector<std::uint32_t>* cellMeans)
    : palette_(palette), cellMeans_(cellMeans), cache_(kColourCells, kUnknown) {}

int PaletteMapper::Nearest(int red, int green, int blue) const {
  int best = 0, bestDistance = 1 << 30;
  for (int k = 0; k < kPaletteEntries; ++k) {
    const std::uint8_t* e = &palette_[k * 3];
    const int distance = std::abs(e[0] - red) + std::abs(e[1] - green) + std::abs(e[2] - blue);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = k;
    }
  }
  return best;
}

std::uint8_t PaletteMapper::IndexOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  const int key = CellKey(red, green, blue);
  std::int16_t& cached = cache_[key];
  if (cached == kUnknown) {
    if (cellMeans_) {
      const std::uint32_t mean = (*cellMeans_)[static_cast<std::size_t>(key)];
      cached = static_cast<std::int16_t>(Nearest(mean >> 16, (mean >> 8) & 0xFF, mean & 0xFF));
    } else {
      cached = static_cast<std::int16_t>(Nearest(red, green, blue));
    }
  }
  return static_cast<std::uint8_t>(cached);
}

QuantizedImage QuantizeImage(const DibPixels& pixels) {
  WuQuantizer quantizer;
  quantizer.AddPixels(pixels.bits, pixels.PixelCount());
  const Palette start = quantizer.BuildPalette();
  const MappedPalette mapped = RefinePalette(MapCells(start, quantizer.Cells()), quantizer.Cells());
  QuantizedImage result;
  result.palette = mapped.palette;
  const std::size_t width = static_cast<std::size_t>(pixels.width);
  result.imageData.resize((width + 1) * static_cast<std::size_t>(pixels.height));
  std::uint8_t* out = result.imageData.data();
  for (int y = 0; y < pixels.height; ++y) {
    const std::uint8_t* in = pixels.RowFromTop(y);
    *out++ = 0;  // filter: none
    for (std::size_t x = 0; x < width; ++x, in += 4) {
      *out++ = mapped.entryOfCell[static_cast<std::size_t>(CellKey(in[2], in[1], in[0]))];
    }
  }
  return result;
}

}  // namespace corvan::crash
