#pragma once
// Small owners of Windows handles: each closes its handle exactly once.
#include <windows.h>

#include <utility>

namespace corvan::ui {

// Owns a handle and releases it with Close(handle) when it goes away.
template <typename T, T Invalid, auto Close>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  T get() const { return handle_; }
  bool valid() const { return handle_ != Invalid; }
  explicit operator bool() const { return valid(); }
  T release() { return std::exchange(handle_, Invalid); }
  void reset(T handle = Invalid) {
    if (handle_ != Invalid) Close(handle_);
    handle_ = handle;
  }

 private:
  T handle_ = Invalid;
};

inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void DeleteGdiFont(HFONT h) { ::DeleteObject(h); }
inline void DeleteGdiBitmap(HBITMAP h) { ::DeleteObject(h); }

// Process, thread, event, mapping ... (null when absent).
using ScopedHandle = UniqueHandle<HANDLE, nullptr, CloseKernelHandle>;
using ScopedFont = UniqueHandle<HFONT, nullptr, DeleteGdiFont>;
using ScopedBitmap = UniqueHandle<HBITMAP, nullptr, DeleteGdiBitmap>;

}  // namespace corvan::ui
