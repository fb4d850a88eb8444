// Line layer and synchronous waiting of the socket component.
#include <algorithm>

#include "net/socket/NetSocket.h"
#include "net/socket/NetSocketInternal.h"

namespace corvan::net {

using detail::Fire;

namespace {

constexpr UINT WM_SOCKET_LINE_MODE = WM_USER + 20;  // 1044: deliver after a switch

}  // namespace

void TCustomLineNetSocket::SetLineMode(bool value) {
  if (value == lineMode_) return;
  lineMode_ = value;
  if (!lines_.Empty() && Handle()) ::PostMessageA(Handle(), WM_SOCKET_LINE_MODE, 0, 0);
}

bool TCustomLineNetSocket::LineModeActive() const {
  return lineMode_ && !LineEnd.empty() && !SocksNegotiating();
}

int TCustomLineNetSocket::SendLine(const std::string& text) {
  if (text.empty()) return 0;
  SendStr(text);
  SendStr(LineEnd);
  return static_cast<int>(text.size() + LineEnd.size());
}

void TCustomLineNetSocket::TriggerLineLimitExceeded(std::int64_t count, bool& clearData) {
  if (!Destroying()) Fire(OnLineLimitExceeded, this, count, clearData);
}

LRESULT TCustomLineNetSocket::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_SOCKET_LINE_MODE)
    return TCustomSocksNetSocket::WndProc(message, wParam, lParam);
  if (LineModeActive()) {
    DeliverLines(0);
  } else {
    DeliverBuffered(false);
  }
  return 0;
}

int TCustomLineNetSocket::GetRcvdCount() {
  if (LineModeActive()) return static_cast<int>(lines_.LineLength());
  if (!lines_.Empty()) return static_cast<int>(lines_.Size());
  return TCustomSocksNetSocket::GetRcvdCount();
}

int TCustomLineNetSocket::RecvRaw(void* buffer, int size, int flags) {
  if (size < 0) size = 0;
  if (LineModeActive()) {
    return static_cast<int>(
        lines_.Read(static_cast<char*>(buffer), static_cast<std::size_t>(size), true));
  }
  if (!lines_.Empty()) {
    return static_cast<int>(
        lines_.Read(static_cast<char*>(buffer), static_cast<std::size_t>(size), false));
  }
  return TCustomSocksNetSocket::RecvRaw(buffer, size, flags);
}

bool TCustomLineNetSocket::TriggerDataAvailable(int error) {
  if (!LineModeActive()) return TCustomSocksNetSocket::TriggerDataAvailable(error);
  int waiting = TCustomSocksNetSocket::GetRcvdCount();
  if (waiting < 0) return true;
  if (waiting == 0) waiting = 255;
  std::string chunk(static_cast<std::size_t>(waiting), '\0');
  const int count = TCustomSocksNetSocket::RecvRaw(chunk.data(), waiting, 0);
  if (count <= 0 && lines_.Empty()) return true;
  chunk.resize(static_cast<std::size_t>(std::max(count, 0)));
  const std::size_t oldSize = lines_.Size();
  std::string echo;
  lines_.Add(chunk, LineEdit, echo);
  if (LineEcho && !echo.empty()) SendStr(echo);
  DeliverLines(oldSize);
  return true;
}

void TCustomLineNetSocket::DeliverLines(std::size_t from) {
  auto alive = AliveToken();
  for (;;) {
    if (lines_.LineLength() == 0 && !lines_.FindLine(LineEnd, from)) {
      if (LineLimit > 0 && lines_.Size() > static_cast<std::size_t>(LineLimit)) {
        bool clear = true;
        TriggerLineLimitExceeded(static_cast<std::int64_t>(lines_.Size()), clear);
        if (!*alive) return;
        if (clear) lines_.Clear();
      }
      return;
    }
    const std::size_t before = lines_.Size();
    DeliverBuffered(true);
    if (!*alive) return;
    if (!LineModeActive()) {
      DeliverBuffered(false);
      return;
    }
    // A handler that left its line unread gets it again with the next data.
    if (lines_.LineLength() > 0 || lines_.Size() == before) return;
    from = 0;
  }
}

void TCustomLineNetSocket::DeliverBuffered(bool lineOnly) {
  auto alive = AliveToken();
  auto left = [&] { return lineOnly ? lines_.LineLength() : lines_.Size(); };
  while (left() > 0 && (!lineOnly || LineModeActive())) {
    if (!OnDataAvailable) {
      if (lineOnly) lines_.DropLine();
      return;
    }
    const std::size_t before = left();
    TCustomNetSocket::TriggerDataAvailable(0);
    if (!*alive || left() == before) return;
  }
}

void TCustomLineNetSocket::TriggerSessionClosed(int error) {
  if (LineModeActive() && !lines_.Empty()) {
    auto alive = AliveToken();
    lines_.TakeAllAsLine();
    DeliverBuffered(true);
    if (!*alive) return;
  }
  lines_.Clear();
  TCustomSocksNetSocket::TriggerSessionClosed(error);
}

// ---- Synchronous waiting ------------------------------------------------------------

int TCustomSyncNetSocket::WaitUntilReady(const bool& flag) {
  constexpr int kTimedOut = 12001;
  const DWORD start = ::GetTickCount();
  auto alive = AliveToken();
  while (!flag) {
    if (!*alive) return kTimedOut;
    DWORD wait = 50;
    if (Timeout > 0) {
      const DWORD elapsed = TickElapsed(start, ::GetTickCount());
      if (elapsed >= static_cast<DWORD>(Timeout)) return kTimedOut;
      wait = std::min<DWORD>(wait, static_cast<DWORD>(Timeout) - elapsed);
    }
    if (Terminated()) return kTimedOut;
    WaitAndPumpMessages(wait);
  }
  return 0;
}

int TCustomSyncNetSocket::Synchronize(const std::function<void()>& action, bool& flag) {
  flag = false;
  if (action) action();
  return WaitUntilReady(flag);
}

}  // namespace corvan::net
