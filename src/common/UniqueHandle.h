#pragma once
// Sole owner of a handle of any kind: released once, with Close(handle),
// when it goes away or is replaced. The empty value T{} means no handle.
// Shared by every layer that holds operating-system handles.
#include <utility>

namespace corvan {

template <typename T, auto Close>
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
  explicit operator bool() const { return handle_ != T{}; }
  T release() { return std::exchange(handle_, T{}); }
  void reset(T handle = T{}) {
    if (handle_ != T{}) Close(handle_);
    handle_ = handle;
  }

 private:
  T handle_{};
};

}  // namespace corvan
