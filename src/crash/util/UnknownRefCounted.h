#pragma once
// IUnknown's three slots over the reporter's one reference counter, for the
// shared interfaces Windows code hands around (bitmap, progress window).
// It lives here, beside its only users: the counter and the identity below
// it are portable and carry no Windows headers.
#include <unknwn.h>
#include <windows.h>

#include <cstring>

#include "crash/util/InterfaceId.h"
#include "crash/util/RefCounted.h"

namespace corvan::crash {

static_assert(sizeof(InterfaceId) == sizeof(GUID));

inline bool SameInterface(REFIID iid, const InterfaceId& id) {
  return std::memcmp(&iid, &id, sizeof id) == 0;
}

// Implements QueryInterface, AddRef and Release for Interface, which names
// its identity as Interface::kIid (an InterfaceId). Like every shared object
// it starts without a reference: hold it in a Ref from the start.
template <typename Interface>
class TUnknownRefCounted : public Interface {
 public:
  TUnknownRefCounted(const TUnknownRefCounted&) = delete;
  TUnknownRefCounted& operator=(const TUnknownRefCounted&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || SameInterface(iid, Interface::kIid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(count_.Add()); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = count_.Drop();
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  TUnknownRefCounted() = default;
  virtual ~TUnknownRefCounted() = default;

 private:
  RefCount count_;
};

}  // namespace corvan::crash
