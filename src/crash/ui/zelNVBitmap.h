#pragma once
// The screenshot object: a reference-counted 32-bit bitmap (a DIB section
// selected into a memory device context) with BMP and PNG encoding and
// scaling, and the BMP loader. ScreenCapture.h makes one of the screen.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/codec/DibPixels.h"
#include "crash/core/ReportFrontEnd.h"
#include "crash/util/UnknownRefCounted.h"
#include "common/WinHandles.h"

namespace corvan::crash {

class TINVBitmap final : public TUnknownRefCounted<INVBitmap> {
 public:
  // A black width x height bitmap; null when the context or DIB section
  // cannot be created.
  static Ref<TINVBitmap> Create(int width, int height);

  int GetWidth() override { return header_.biWidth; }
  int GetHeight() override { return header_.biHeight; }
  bool Paint(HDC dc, int x, int y) override;
  std::vector<std::uint8_t> EncodeBmp() override;
  std::vector<std::uint8_t> EncodePng(int mode) override;
  bool WriteBmp(const std::string& path) override;
  bool WritePng(const std::string& path, int mode) override;
  Ref<INVBitmap> Resize(int maxWidth, int maxHeight) override;

  // The memory device context the bitmap is selected into (for drawing).
  HDC Dc() const { return dc_.get(); }
  // The pixels, after GDI has finished drawing into them.
  DibPixels Pixels();
  // Sets the unused fourth byte of every pixel to 0 (GDI may leave others).
  void ClearFourthBytes();

 private:
  TINVBitmap() = default;
  ~TINVBitmap() override;

  BITMAPINFOHEADER header_{};
  std::uint8_t* bits_ = nullptr;  // owned by the DIB section
  ScopedDc dc_;
  ScopedBitmap dib_;
  HGDIOBJ previous_ = nullptr;
};

// Loads a .bmp file of any format Windows reads into a new 32-bit bitmap of
// the same width and absolute height; null on failure.
Ref<INVBitmap> LoadBmpFile(const std::string& path);

}  // namespace corvan::crash
