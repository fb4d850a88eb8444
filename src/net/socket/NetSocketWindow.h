#pragma once
// The hidden window of a socket component: receives the socket's network
// events, lookup replies and deferred requests on the owning thread.
//
// It also owns the result buffers of name lookups. Winsock writes a lookup's
// result into its buffer just before posting the reply, and a cancelled
// lookup may still do so (Wine's WSACancelAsyncRequest reports success and
// the reply comes anyway). So a buffer is freed only when its reply has
// arrived, and a window whose socket is gone stays alive until the last
// reply is in (or a generous time limit passed).
#include "net/socket/NetWinsock.h"

#include <array>
#include <list>
#include <memory>

namespace corvan::net {

// Messages of the hidden window.
constexpr UINT WM_SOCKET_SELECT = WM_USER + 1;
constexpr UINT WM_SOCKET_HOSTBYNAME = WM_USER + 2;
constexpr UINT WM_SOCKET_HOSTBYADDR = WM_USER + 3;
constexpr UINT WM_SOCKET_CLOSE_DELAYED = WM_USER + 4;
constexpr UINT WM_SOCKET_RELEASE = WM_USER + 5;
constexpr UINT WM_SOCKET_TEST_EXCEPTION = WM_USER + 6;

constexpr char kNetSocketWindowClass[] = "NetSocketWindowClass";

// One asynchronous lookup and the area Winsock fills for it.
struct TLookupRequest {
  HANDLE handle = nullptr;
  bool abandoned = false;  // cancelled or its socket gone: the reply is only awaited
  alignas(8) std::array<char, MAXGETHOSTSTRUCT> buffer{};
  winsock::TUserRef library;  // the library stays loaded until the reply is in
};

// Receives the window's messages; implemented by the socket component.
class ISocketWindowClient {
 public:
  virtual LRESULT HandleWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept = 0;
  // A lookup reply for the request that is still current.
  virtual void HandleLookupReply(TLookupRequest& request, UINT message, LPARAM lParam) noexcept = 0;
  // A reply whose handle matches no request (may be an early reply).
  virtual void HandleUnknownLookupReply(UINT message, WPARAM wParam, LPARAM lParam) noexcept = 0;

 protected:
  ~ISocketWindowClient() = default;
};

class TSocketWindow;

// Disposes of a window through TSocketWindow::Dispose.
struct TSocketWindowDisposer {
  void operator()(TSocketWindow* window) const;
};
using TSocketWindowPtr = std::unique_ptr<TSocketWindow, TSocketWindowDisposer>;

class TSocketWindow {
 public:
  // Creates the window on the calling thread; raises ESocketException
  // "Cannot create a hidden window for TNetSocket" on failure.
  explicit TSocketWindow(ISocketWindowClient& client);
  TSocketWindow(const TSocketWindow&) = delete;
  TSocketWindow& operator=(const TSocketWindow&) = delete;

  // Detaches the client: the window is destroyed now, or when the last
  // outstanding lookup reply has arrived. Deletes the object.
  static void Dispose(TSocketWindow* window);

  HWND Handle() const { return handle_; }
  DWORD ThreadId() const { return threadId_; }

  // A new lookup request owned by this window.
  TLookupRequest& NewLookup();
  // The request no longer interests the client; its buffer stays until its
  // reply arrives. A request that never got a handle is freed now.
  void Abandon(TLookupRequest& request);
  // Removes a request whose reply the client took over (an early reply).
  std::unique_ptr<TLookupRequest> Take(TLookupRequest& request);
  // Drops queued network-event messages (those of a socket just closed).
  void PurgeSelectMessages();

  // Unregisters the window class when no window of it exists any more.
  static void UnregisterClassIfUnused();

 private:
  ~TSocketWindow();
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) noexcept;
  void HandleLookupMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept;
  // Deletes the object when no client, no lookup and no message handling
  // is left; returns true when it did.
  bool DestroyIfIdle();

  static constexpr DWORD kMagic = 0x4E53574E;  // tells our windows' extra data apart
  DWORD magic_ = kMagic;
  ISocketWindowClient* client_;
  HWND handle_ = nullptr;
  DWORD threadId_ = 0;
  int depth_ = 0;  // messages being handled (re-entrant through message pumps)
  std::list<std::unique_ptr<TLookupRequest>> lookups_;
};

}  // namespace corvan::net
