#pragma once
// The screenshot object: a reference-counted 32-bit bitmap (a DIB section
// selected into a memory device context) with BMP and PNG encoding and
// scaling, and the BMP loader. ScreenCapture.h makes one of the screen.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/ui/DibPixels.h"
#include "crash/ui/UnknownRefCounted.h"
#include "common/WinHandles.h"

namespace corvan::crash {

struct INVBitmap : IUnknown {
  static constexpr InterfaceId kIid = {
      0x3EE757B5, 0xCC56, 0x4610, {0xA9, 0x17, 0xE8, 0x73, 0x17, 0x37, 0xD5, 0xBE}};

  virtual int GetWidth() = 0;
  virtual int GetHeight() = 0;
  // BitBlt of the whole bitmap to dc at (x, y).
  virtual bool Paint(HDC dc, int x, int y) = 0;
  // A 32-bit BMP file.
  virtual std::vector<std::uint8_t> EncodeBmp() = 0;
  // A PNG file in the given mode (see ScreenshotPng.h), or empty. The grey
  // variant turns the bitmap itself grey.
  virtual std::vector<std::uint8_t> EncodePng(int mode) = 0;
  // Write the encoding in one write; on failure no file is left and false
  // returned. WritePng creates no file when the encoding is empty.
  virtual bool WriteBmp(const std::string& path) = 0;
  virtual bool WritePng(const std::string& path, int mode) = 0;
  // A new bitmap scaled (Mitchell filter) to fit maxWidth x maxHeight with
  // the aspect ratio kept; null when it cannot be created.
  virtual Ref<INVBitmap> Resize(int maxWidth, int maxHeight) = 0;
};

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
