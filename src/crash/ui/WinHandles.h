#pragma once
// Owners of the Windows handles the crash reporter's UI code holds: each
// releases its handle exactly once.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "common/UniqueHandle.h"

namespace corvan::crash {

using corvan::UniqueHandle;

inline void CloseFileHandle(HANDLE h) { CloseHandle(h); }
inline void DeleteGdiObject(HGDIOBJ h) { DeleteObject(h); }
inline void DeleteOwnDc(HDC h) { DeleteDC(h); }

// A file handle; CreateFile's INVALID_HANDLE_VALUE is stored as null.
class ScopedFile : public UniqueHandle<HANDLE, CloseFileHandle> {
 public:
  ScopedFile() = default;
  explicit ScopedFile(HANDLE h)
      : UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
};
using ScopedGdiObject = UniqueHandle<HGDIOBJ, DeleteGdiObject>;
using ScopedRegion = UniqueHandle<HRGN, DeleteGdiObject>;
// A device context of our own (CreateDC, CreateCompatibleDC).
using ScopedDc = UniqueHandle<HDC, DeleteOwnDc>;

// A device context from GetDC, released to its window.
class ScopedWindowDc {
 public:
  explicit ScopedWindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
  ScopedWindowDc(const ScopedWindowDc&) = delete;
  ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
  ~ScopedWindowDc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// Selects an object into a device context and selects the previous one
// back when it goes away.
class ScopedSelection {
 public:
  ScopedSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;
  ~ScopedSelection() {
    if (previous_) SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// Creates path (CREATE_ALWAYS, no sharing) and writes data in one write. On
// a failed or short write the file is deleted and false returned.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size);

}  // namespace corvan::crash
