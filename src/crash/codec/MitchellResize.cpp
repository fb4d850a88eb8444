#include "crash/codec/MitchellResize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace corvan::crash {
namespace {

constexpr double kSupport = 2.0;

double Mitchell(double x) {
  x = std::fabs(x);
  if (x < 1) return (7.0 / 6.0) * x * x * x - 2.0 * x * x + 8.0 / 9.0;
  if (x < 2) return -(7.0 / 18.0) * x * x * x + 2.0 * x * x - (10.0 / 3.0) * x + 16.0 / 9.0;
  return 0;
}

struct Contribution {
  int source;
  std::int32_t weight;  // 16 fraction bits
};

// Source positions outside the picture are mirrored at its edges; a very
// small source is clamped on top, so every index stays inside.
int MirrorIndex(int j, int size) {
  if (j < 0) j = -j;
  if (j >= size) j = 2 * size - 1 - j;
  return std::clamp(j, 0, size - 1);
}

// Turns the weights into 16.16 fixed point summing to exactly 1. Sampled at
// a shrinking scale the filter's weights sum to a little more or less than
// 1, and rounding adds its own error: without this a flat area would come
// out several levels darker or lighter.
void Normalize(const std::vector<double>& weights, std::vector<Contribution>& list) {
  double total = 0;
  for (double w : weights) total += w;
  if (list.empty() || total <= 0) return;
  std::int32_t sum = 0;
  std::size_t largest = 0;
  for (std::size_t k = 0; k < list.size(); ++k) {
    list[k].weight = static_cast<std::int32_t>(std::lround(weights[k] / total * 65536.0));
    sum += list[k].weight;
    if (list[k].weight > list[largest].weight) largest = k;
  }
  list[largest].weight += 65536 - sum;
}

// Contributors of every destination position along one axis.
std::vector<std::vector<Contribution>> Contributors(int src, int dst) {
  std::vector<std::vector<Contribution>> lists(static_cast<std::size_t>(dst));
  const auto S = static_cast<std::int64_t>(src), D = static_cast<std::int64_t>(dst);
  for (std::int64_t i = 0; i < D; ++i) {
    std::vector<Contribution>& list = lists[static_cast<std::size_t>(i)];
    std::int64_t from, to;
    double centre, scale;  // in destination units when shrinking, source units otherwise
    if (dst < src) {
      scale = static_cast<double>(dst) / static_cast<double>(src);
      from = (S * (i - 2) - D + 1) / D;
      to = (S * (i + 2) + D - 1) / D;
      centre = static_cast<double>(i);
    } else {
      scale = 1.0;
      from = (S * i - 3 * D + 1) / D;
      to = (S * i + 3 * D - 1) / D;
      centre = static_cast<double>(i) * static_cast<double>(src) / static_cast<double>(dst);
    }
    std::vector<double> weights;
    for (std::int64_t j = from; j <= to; ++j) {
      const double position = dst < src ? static_cast<double>(j) * scale : static_cast<double>(j);
      const double distance = std::fabs(centre - position);
      if (distance >= kSupport) continue;
      weights.push_back(Mitchell(distance) * scale);
      list.push_back({MirrorIndex(static_cast<int>(j), src), 0});
    }
    Normalize(weights, list);
  }
  return lists;
}

std::uint8_t ClampChannel(std::int64_t sum) {
  if (sum < 0) return 0;
  return static_cast<std::uint8_t>(std::min<std::int64_t>(sum >> 16, 255));
}

// Weighted sum of one channel over the contributors; pixel(k) gives the
// source bytes at position k.
template <typename PixelAt>
void Filter(const std::vector<Contribution>& list, PixelAt pixel, std::uint8_t* out) {
  std::int64_t sum[3] = {};
  for (const Contribution& c : list) {
    const std::uint8_t* p = pixel(c.source);
    for (int ch = 0; ch < 3; ++ch) sum[ch] += static_cast<std::int64_t>(p[ch]) * c.weight;
  }
  for (int ch = 0; ch < 3; ++ch) out[ch] = ClampChannel(sum[ch]);
  out[3] = 0;
}

}  // namespace

PictureSize FitSize(int width, int height, int maxWidth, int maxHeight) {
  if (width <= 0 || height <= 0) return {std::max(maxWidth, 1), std::max(maxHeight, 1)};
  const std::int64_t W = width, H = height, mw = std::max(maxWidth, 0), mh = std::max(maxHeight, 0);
  std::int64_t w = mw, h = mh;
  if (mh < mw * H / W || mw < mh * W / H) {
    // Both sides shrink by at least the factor of the binding one.
    if (mh > 0 && (mw == 0 || H * 65536 / mh < W * 65536 / mw)) {
      h = mw * H / W;
    } else {
      w = mh * W / H;
    }
  }
  return {static_cast<int>(std::max<std::int64_t>(w, 1)),
          static_cast<int>(std::max<std::int64_t>(h, 1))};
}

void ResizeMitchell(const DibPixels& src, const DibPixels& dst) {
  if (src.width <= 0 || src.height <= 0 || dst.width <= 0 || dst.height <= 0) return;
  const auto columns = Contributors(src.width, dst.width);
  const auto rows = Contributors(src.height, dst.height);
  std::vector<std::uint8_t> column(static_cast<std::size_t>(src.height) * kBytesPerPixel);
  for (int x = 0; x < dst.width; ++x) {
    const std::vector<Contribution>& across = columns[static_cast<std::size_t>(x)];
    for (int y = 0; y < src.height; ++y) {
      const std::uint8_t* row = src.RowFromTop(y);
      Filter(
          across, [row](int k) { return row + static_cast<std::size_t>(k) * kBytesPerPixel; },
          &column[static_cast<std::size_t>(y) * kBytesPerPixel]);
    }
    for (int y = 0; y < dst.height; ++y) {
      Filter(
          rows[static_cast<std::size_t>(y)],
          [&column](int k) { return &column[static_cast<std::size_t>(k) * kBytesPerPixel]; },
          dst.Pixel(x, y));
    }
  }
}

}  // namespace corvan::crash
