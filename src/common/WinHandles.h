#pragma once
// Owners of the Windows handles every layer holds: each releases its handle
// exactly once, when it goes away or is replaced. Pick the owner by how the
// handle is released and by what its creator returns on failure.
#include <windows.h>

#include "common/UniqueHandle.h"

namespace corvan {

inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void DeleteGdiObject(HGDIOBJ h) { ::DeleteObject(h); }
inline void DeleteOwnDc(HDC h) { ::DeleteDC(h); }
inline void UnmapView(void* view) { ::UnmapViewOfFile(view); }
inline void CloseRegistryKey(HKEY key) { ::RegCloseKey(key); }
inline void UnloadModule(HMODULE module) { ::FreeLibrary(module); }
inline void CloseFind(HANDLE h) { ::FindClose(h); }
inline void RemoveHook(HHOOK hook) { ::UnhookWindowsHookEx(hook); }

// Process, thread, event, mutex, mapping: creators that answer null on failure.
using ScopedHandle = UniqueHandle<HANDLE, CloseKernelHandle>;

// Creators that answer INVALID_HANDLE_VALUE on failure (CreateFile, tool-help
// snapshots). That value is stored as null, so the test for "has a handle" is
// the same as for every other owner.
class ScopedFile : public UniqueHandle<HANDLE, CloseKernelHandle> {
 public:
  ScopedFile() = default;
  explicit ScopedFile(HANDLE h) : UniqueHandle(Normal(h)) {}
  void reset(HANDLE h = nullptr) { UniqueHandle::reset(Normal(h)); }

 private:
  static HANDLE Normal(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
};

// A file search (FindFirstFile); INVALID_HANDLE_VALUE is stored as null.
class ScopedFind : public UniqueHandle<HANDLE, CloseFind> {
 public:
  explicit ScopedFind(HANDLE h) : UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
};

// A windows hook (SetWindowsHookEx).
using ScopedHook = UniqueHandle<HHOOK, RemoveHook>;

// A view of a file mapping (MapViewOfFile).
using ScopedView = UniqueHandle<void*, UnmapView>;

using ScopedRegistryKey = UniqueHandle<HKEY, CloseRegistryKey>;

// A module of our own loading (LoadLibrary).
using ScopedModule = UniqueHandle<HMODULE, UnloadModule>;

// A hook of SetWindowsHookEx.
using ScopedHook = UniqueHandle<HHOOK, RemoveHook>;

// Pens, brushes, fonts, bitmaps, regions: whatever DeleteObject frees.
template <typename T>
using ScopedGdi = UniqueHandle<T, DeleteGdiObject>;
using ScopedFont = ScopedGdi<HFONT>;
using ScopedBitmap = ScopedGdi<HBITMAP>;
using ScopedRegion = ScopedGdi<HRGN>;

// A device context of our own (CreateDC, CreateCompatibleDC).
using ScopedDc = UniqueHandle<HDC, DeleteOwnDc>;

// A device context from GetDC, released to its window.
class ScopedWindowDc {
 public:
  explicit ScopedWindowDc(HWND window) : window_(window), dc_(::GetDC(window)) {}
  ScopedWindowDc(const ScopedWindowDc&) = delete;
  ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
  ~ScopedWindowDc() {
    if (dc_) ::ReleaseDC(window_, dc_);
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
  ScopedSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(::SelectObject(dc, object)) {}
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;
  ~ScopedSelection() {
    if (previous_) ::SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

}  // namespace corvan
