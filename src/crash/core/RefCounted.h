#pragma once
// Reference counting of the reporter's shared objects (settings, lists,
// reports): an object lives until its last Ref lets go, whichever thread
// or module that is.
#include <atomic>
#include <utility>

namespace corvan::crash {

class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const noexcept {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  mutable std::atomic<long> count_{0};
};

// Owning pointer to a RefCounted object.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(T* object) : p_(object) {
    if (p_) p_->AddRef();
  }  // NOLINT: adopting is the point
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
