#pragma once
// Reference counting of the reporter's shared objects (settings, lists,
// reports, bitmaps, windows): an object lives until its last reference
// lets go, whichever thread or module that is.
//
// One rule for every object: a new object holds no reference; whoever keeps
// it takes one (a Ref does on construction), and the release of the last one
// deletes it. So a constructor must not hand `this` to a Ref: the object
// would be deleted when that Ref goes away.
#include <atomic>
#include <utility>

namespace corvan::crash {

// The counter itself, for classes that must expose AddRef and Release with
// signatures of their own (the IUnknown adapter).
class RefCount {
 public:
  // The count after the change.
  long Add() noexcept { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  long Drop() noexcept { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

 private:
  std::atomic<long> count_{0};
};

class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const noexcept { count_.Add(); }
  void Release() const noexcept {
    if (count_.Drop() == 0) delete this;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  mutable RefCount count_;
};

// Holds one reference to T (anything with AddRef and Release).
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}         // NOLINT: null converts like a pointer
  Ref(T* object) : p_(object) {  // NOLINT: taking a reference is the point
    if (p_) p_->AddRef();
  }
  Ref(const Ref& other) : Ref(other.p_) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  Ref(const Ref<U>& other) : Ref(other.get()) {}  // NOLINT: upcast
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

}  // namespace corvan::crash
