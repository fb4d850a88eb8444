#pragma once
// A 32-bit image laid out as a bottom-up device-independent bitmap holds it:
// rows of width pixels of blue, green, red and an unused fourth byte, the
// bottom row first in memory. The codecs work on this view, whether the
// memory belongs to a DIB section or to a plain buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvan::crash {

inline constexpr int kBytesPerPixel = 4;

struct DibPixels {
  std::uint8_t* bits = nullptr;  // not owned
  int width = 0;
  int height = 0;

  std::size_t Stride() const { return static_cast<std::size_t>(width) * kBytesPerPixel; }
  std::size_t PixelCount() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  }
  std::size_t ByteSize() const { return PixelCount() * kBytesPerPixel; }
  // Row y counted from the top of the picture.
  std::uint8_t* RowFromTop(int y) const {
    return bits + static_cast<std::size_t>(height - 1 - y) * Stride();
  }
  std::uint8_t* Pixel(int x, int yFromTop) const {
    return RowFromTop(yFromTop) + static_cast<std::size_t>(x) * kBytesPerPixel;
  }
};

// A DIB-layout image in memory of its own.
class DibImage {
 public:
  DibImage() = default;
  DibImage(int width, int height)
      : bits_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kBytesPerPixel),
        width_(width),
        height_(height) {}

  DibPixels View() { return {bits_.data(), width_, height_}; }
  std::vector<std::uint8_t>& Bytes() { return bits_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

 private:
  std::vector<std::uint8_t> bits_;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace corvan::crash
