#include "net/socket/NetSocketWindow.h"

#include "net/socket/NetSocketTypes.h"

namespace corvan::net {
namespace {

// An abandoned lookup normally replies within seconds. If its reply never
// comes (a cancel that really cancelled), its buffer is freed after this
// long, far beyond any resolver time-out.
constexpr UINT kAbandonedTimerId = 1;
constexpr UINT kAbandonedLimitMs = 10 * 60 * 1000;

int g_windowCount = 0;  // guarded by the window-class lock

HINSTANCE ModuleInstance() { return ::GetModuleHandleA(nullptr); }

}  // namespace

TSocketWindow::TSocketWindow(ISocketWindowClient& client) : client_(&client) {
  {
    std::lock_guard guard(winsock::WindowClassLock());
    WNDCLASSA existing;
    if (!::GetClassInfoA(ModuleInstance(), kNetSocketWindowClass, &existing)) {
      WNDCLASSA wc{};
      wc.style = 0;
      wc.lpfnWndProc = WindowProc;
      wc.cbWndExtra = sizeof(LONG_PTR);
      wc.hInstance = ModuleInstance();
      wc.lpszClassName = kNetSocketWindowClass;
      ::RegisterClassA(&wc);
    }
    ++g_windowCount;
  }
  handle_ = ::CreateWindowExA(WS_EX_TOOLWINDOW, kNetSocketWindowClass, "", WS_POPUP, 0, 0, 0, 0,
                              nullptr, nullptr, ModuleInstance(), nullptr);
  if (!handle_) {
    std::lock_guard guard(winsock::WindowClassLock());
    --g_windowCount;
    throw ESocketException("Cannot create a hidden window for TNetSocket");
  }
  ::SetWindowLongPtrA(handle_, 0, reinterpret_cast<LONG_PTR>(this));
  threadId_ = ::GetCurrentThreadId();
}

TSocketWindow::~TSocketWindow() {
  if (handle_) {
    ::SetWindowLongPtrA(handle_, 0, 0);
    ::DestroyWindow(handle_);
  }
  std::lock_guard guard(winsock::WindowClassLock());
  --g_windowCount;
}

void TSocketWindowDisposer::operator()(TSocketWindow* window) const {
  TSocketWindow::Dispose(window);
}

void TSocketWindow::Dispose(TSocketWindow* self) {
  if (!self) return;
  self->client_ = nullptr;
  for (auto& lookup : self->lookups_) lookup->abandoned = true;
  if (self->depth_ > 0) return;  // deleted when its message handling unwinds
  if (self->lookups_.empty() || !self->handle_) {
    delete self;
    return;
  }
  ::SetTimer(self->handle_, kAbandonedTimerId, kAbandonedLimitMs, nullptr);
}

void TSocketWindow::UnregisterClassIfUnused() {
  std::lock_guard guard(winsock::WindowClassLock());
  if (g_windowCount == 0) ::UnregisterClassA(kNetSocketWindowClass, ModuleInstance());
}

TLookupRequest& TSocketWindow::NewLookup() {
  lookups_.push_back(std::make_unique<TLookupRequest>());
  return *lookups_.back();
}

void TSocketWindow::Abandon(TLookupRequest& request) {
  for (auto it = lookups_.begin(); it != lookups_.end(); ++it) {
    if (it->get() != &request) continue;
    if (request.handle) {
      request.abandoned = true;
    } else {
      lookups_.erase(it);  // never started: nothing will write to it
    }
    return;
  }
}

bool TSocketWindow::DestroyIfIdle() {
  if (client_ || depth_ > 0) return false;
  if (!lookups_.empty()) {
    ::SetTimer(handle_, kAbandonedTimerId, kAbandonedLimitMs, nullptr);
    return false;
  }
  delete this;
  return true;
}

LRESULT CALLBACK TSocketWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                           LPARAM lParam) noexcept {
  auto* self = reinterpret_cast<TSocketWindow*>(::GetWindowLongPtrA(hwnd, 0));
  if (!self || self->magic_ != kMagic) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  // A client may dispose of the window from inside its own handler: the
  // object then goes away once this message is done with.
  ++self->depth_;
  const LRESULT result = self->Handle(message, wParam, lParam);
  --self->depth_;
  self->DestroyIfIdle();
  return result;
}

LRESULT TSocketWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  try {
    switch (message) {
      case WM_SOCKET_HOSTBYNAME:
      case WM_SOCKET_HOSTBYADDR:
        HandleLookupMessage(message, wParam, lParam);
        return 0;
      case WM_TIMER:
        if (wParam == kAbandonedTimerId && !client_) {
          ::KillTimer(handle_, kAbandonedTimerId);
          lookups_.clear();
          return 0;
        }
        break;
      default:
        break;
    }
    if (client_) return client_->HandleWindowMessage(message, wParam, lParam);
  } catch (...) {
    // Nothing may unwind into the system's message dispatch.
    return 0;
  }
  return ::DefWindowProcA(handle_, message, wParam, lParam);
}

void TSocketWindow::HandleLookupMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  const auto handle = reinterpret_cast<HANDLE>(wParam);
  for (auto it = lookups_.begin(); it != lookups_.end(); ++it) {
    TLookupRequest& request = **it;
    if (!request.handle || request.handle != handle) continue;
    // The reply is in: the buffer will not be written again.
    std::unique_ptr<TLookupRequest> done = std::move(*it);
    lookups_.erase(it);
    if (!done->abandoned && client_) client_->HandleLookupReply(*done, message, lParam);
    return;
  }
  if (client_) client_->HandleUnknownLookupReply(message, wParam, lParam);
}

}  // namespace corvan::net
