#pragma once
// Reference counting for the crash reporter's shared objects: interfaces
// with a fixed identity (IUnknown's three slots first), freed with their
// last reference, and a smart pointer that holds one reference.
#include <windows.h>
#include <unknwn.h>

#include <utility>

namespace corvan::crash {

// Implements QueryInterface, AddRef and Release for Interface, which names
// its identity as Interface::kIid. Objects start with one reference, which
// the creator adopts into a RefPtr.
template <typename Interface>
class TRefCounted : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, Interface::kIid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  TRefCounted() = default;
  virtual ~TRefCounted() = default;

 private:
  volatile LONG references_ = 1;
};

template <typename T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  // Takes over the reference the caller holds (a new object's first one).
  static RefPtr Adopt(T* object) {
    RefPtr p;
    p.object_ = object;
    return p;
  }
  RefPtr(const RefPtr& other) : object_(other.object_) {
    if (object_) object_->AddRef();
  }
  template <typename U>
  RefPtr(const RefPtr<U>& other) : object_(other.get()) {
    if (object_) object_->AddRef();
  }
  RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  RefPtr& operator=(RefPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~RefPtr() {
    if (object_) object_->Release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace corvan::crash
