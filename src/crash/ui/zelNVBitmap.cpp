#include "crash/ui/zelNVBitmap.h"

#include "crash/codec/BmpFile.h"
#include "crash/codec/MitchellResize.h"
#include "crash/codec/ScreenshotPng.h"

namespace corvan::crash {
namespace {

// Creates path (CREATE_ALWAYS, no sharing) and writes data in one write. On
// a failed or short write the file is deleted and false returned.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  if (size > MAXDWORD) return false;
  ScopedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
  file.reset();
  if (!ok) DeleteFileA(path.c_str());
  return ok;
}

}  // namespace

Ref<TINVBitmap> TINVBitmap::Create(int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  Ref<TINVBitmap> bitmap(new TINVBitmap);
  BITMAPINFOHEADER& h = bitmap->header_;
  h.biSize = sizeof h;
  h.biWidth = width;
  h.biHeight = height;  // positive: bottom-up rows
  h.biPlanes = 1;
  h.biBitCount = 32;
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
  bitmap->dc_.reset(CreateCompatibleDC(nullptr));
  if (!bitmap->dc_) return nullptr;
  void* bits = nullptr;
  bitmap->dib_.reset(CreateDIBSection(bitmap->dc_.get(), reinterpret_cast<BITMAPINFO*>(&h),
                                      DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap->dib_ || !bits) return nullptr;
  bitmap->bits_ = static_cast<std::uint8_t*>(bits);
  bitmap->previous_ = SelectObject(bitmap->dc_.get(), bitmap->dib_.get());
  return bitmap;
}

TINVBitmap::~TINVBitmap() {
  if (previous_) SelectObject(dc_.get(), previous_);
  dc_.reset();
  dib_.reset();
}

DibPixels TINVBitmap::Pixels() {
  GdiFlush();
  return {bits_, header_.biWidth, header_.biHeight};
}

void TINVBitmap::ClearFourthBytes() {
  const DibPixels p = Pixels();
  for (std::size_t i = 3; i < p.ByteSize(); i += 4) p.bits[i] = 0;
}

bool TINVBitmap::Paint(HDC dc, int x, int y) {
  return BitBlt(dc, x, y, header_.biWidth, header_.biHeight, dc_.get(), 0, 0, SRCCOPY) != 0;
}

std::vector<std::uint8_t> TINVBitmap::EncodeBmp() { return corvan::crash::EncodeBmp(Pixels()); }

std::vector<std::uint8_t> TINVBitmap::EncodePng(int mode) {
  return EncodeScreenshotPng(Pixels(), mode);
}

bool TINVBitmap::WriteBmp(const std::string& path) {
  const std::vector<std::uint8_t> bmp = EncodeBmp();
  return WriteWholeFile(path, bmp.data(), bmp.size());
}

bool TINVBitmap::WritePng(const std::string& path, int mode) {
  const std::vector<std::uint8_t> png = EncodePng(mode);
  if (png.empty()) return false;
  return WriteWholeFile(path, png.data(), png.size());
}

Ref<INVBitmap> TINVBitmap::Resize(int maxWidth, int maxHeight) {
  const PictureSize size = FitSize(header_.biWidth, header_.biHeight, maxWidth, maxHeight);
  Ref<TINVBitmap> result = Create(size.width, size.height);
  if (!result) return nullptr;
  ResizeMitchell(Pixels(), result->Pixels());
  return result;
}

Ref<INVBitmap> LoadBmpFile(const std::string& path) {
  ScopedBitmap loaded(static_cast<HBITMAP>(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0,
                                                      LR_LOADFROMFILE | LR_CREATEDIBSECTION)));
  if (!loaded) return nullptr;
  BITMAP info{};
  if (!GetObjectA(loaded.get(), sizeof info, &info)) return nullptr;
  const int height = info.bmHeight < 0 ? -info.bmHeight : info.bmHeight;
  Ref<TINVBitmap> bitmap = TINVBitmap::Create(info.bmWidth, height);
  if (!bitmap) return nullptr;
  // GetDIBits converts any source format into the bitmap's own layout.
  BITMAPINFOHEADER want{};
  want.biSize = sizeof want;
  want.biWidth = info.bmWidth;
  want.biHeight = height;
  want.biPlanes = 1;
  want.biBitCount = 32;
  want.biCompression = BI_RGB;
  const DibPixels pixels = bitmap->Pixels();
  ScopedDc dc(CreateCompatibleDC(nullptr));
  if (GetDIBits(dc.get(), loaded.get(), 0, static_cast<UINT>(height), pixels.bits,
                reinterpret_cast<BITMAPINFO*>(&want), DIB_RGB_COLORS) != height) {
    return nullptr;
  }
  bitmap->ClearFourthBytes();
  return bitmap;
}

}  // namespace corvan::crash
