#include "net/socket/NetSocket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/socket/NetAddress.h"
#include "net/socket/NetSocketInternal.h"

namespace corvan::net {

using detail::DottedFromNetworkBytes;
using detail::Fire;

namespace {

constexpr long kSelectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 59
constexpr DWORD kSioKeepAliveVals = 0x98000004;

// Writes the line once at start-up, before the program entry runs.
const struct InitializationSection {
  InitializationSection() { ::OutputDebugStringA("netsocket initialization section"); }
} g_initializationSection;

bool IsFatalSendError(int code) {
  static constexpr int kFatal[] = {wsa::kECONNRESET, wsa::kENOTSOCK, wsa::kENOTCONN, wsa::kEINVAL,
                                   wsa::kECONNABORTED};
  return std::find(std::begin(kFatal), std::end(kFatal), code) != std::end(kFatal);
}

}  // namespace

namespace detail {

std::string FormatTextNumber(const char* format, const std::string& text, int number) {
  char buffer[600];
  std::snprintf(buffer, sizeof buffer, format, text.c_str(), number);
  return buffer;
}

std::string DottedFromNetworkBytes(const void* bytes) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  return FormatDottedIP((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                        (std::uint32_t{b[2]} << 8) | b[3]);
}

}  // namespace detail

// ---- Life cycle ----------------------------------------------------------------

TCustomNetSocket::TCustomNetSocket() : window_(new TSocketWindow(*this)) {
  sin_.sin_family = AF_INET;
}

TCustomNetSocket::~TCustomNetSocket() {
  destroying_ = true;  // no events from here on
  try {
    AbandonLookup();
    TCustomNetSocket::CloseInternal(true, 0);
  } catch (...) {
    // Destruction never throws; the handle is released below in any case.
  }
  if (SocketOpen()) {
    try {
      winsock::CloseSocket(socket_);
    } catch (...) {
    }
    socket_ = INVALID_SOCKET;
  }
  sendChain_.Clear();
  window_.reset();
  *alive_ = false;
  TSocketWindow::UnregisterClassIfUnused();
}

// ---- Properties ----------------------------------------------------------------

bool TCustomNetSocket::AssignProperty(std::string& field, bool& assigned, bool* resolved,
                                      const std::string& value, const char* name) {
  if (state_ != wsClosed) {
    RaiseSocketError(std::string("Cannot change ") + name + " if not closed");
    return false;
  }
  std::string text = TrimText(value);
  if (assigned && text == field) return true;
  field = std::move(text);
  assigned = !field.empty();
  if (resolved) *resolved = false;
  return true;
}

void TCustomNetSocket::SetAddr(const std::string& value) {
  AssignProperty(addr_, addrAssigned_, &addrResolved_, value, "Addr");
}

void TCustomNetSocket::SetPort(const std::string& value) {
  AssignProperty(port_, portAssigned_, &portResolved_, value, "Port");
}

void TCustomNetSocket::SetProto(const std::string& value) {
  AssignProperty(proto_, protoAssigned_, &protoResolved_, value, "Proto");
}

void TCustomNetSocket::SetLocalAddr(const std::string& value) {
  bool assigned = true;
  if (AssignProperty(localAddr_, assigned, nullptr, value, "LocalAddr") && localAddr_.empty()) {
    localAddr_ = "0.0.0.0";
  }
}

void TCustomNetSocket::SetLocalPort(const std::string& value) {
  bool assigned = true;
  AssignProperty(localPort_, assigned, &localPortResolved_, value, "LocalPort");
}

void TCustomNetSocket::SetSendFlags(TSocketSendFlags value) {
  if (value != wsSendNormal && value != wsSendUrgent) {
    RaiseSocketError("Invalid SendFlags");
    return;
  }
  sendFlags_ = value;
}

void TCustomNetSocket::SetReqVerLow(int value) {
  if (!winsock::SetRequestedVersion(static_cast<BYTE>(value),
                                    HIBYTE(winsock::RequestedVersion()))) {
    ReportSocketError("SetReqVerLow: WinSock version can't be changed now");
  }
}

void TCustomNetSocket::SetReqVerHigh(int value) {
  if (!winsock::SetRequestedVersion(LOBYTE(winsock::RequestedVersion()),
                                    static_cast<BYTE>(value))) {
    ReportSocketError("SetReqVerHigh: WinSock version can't be changed now");
  }
}

void TCustomNetSocket::ChangeState(TSocketState newState) {
  const TSocketState oldState = state_;
  state_ = newState;
  if (oldState != newState) TriggerChangeState(oldState, newState);
}

void TCustomNetSocket::ResetToDefaults() {
  sin_ = {};
  sin_.sin_family = AF_INET;
  addrAssigned_ = portAssigned_ = false;
  addrResolved_ = portResolved_ = false;
  proto_ = "tcp";
  protoAssigned_ = true;
  protoResolved_ = false;
  protoNumber_ = 6;
  socketType_ = SOCK_STREAM;
  localPort_ = "0";
  localPortResolved_ = false;
  localAddr_ = "0.0.0.0";
  lingerOnOff_ = wsLingerOn;
  lingerTimeout_ = 0;
  socket_ = INVALID_SOCKET;
  selectMask_ = 0;
  state_ = wsClosed;
  allSent_ = true;
  paused_ = false;
  readCount_ = 0;
  closeInvoked_ = false;
  flushTimeout_ = 60;
}

// ---- Error reporting ------------------------------------------------------------

void TCustomNetSocket::RaiseSocketError(const std::string& message) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(message);
}

void TCustomNetSocket::ReportSocketError(const std::string& function, int code) {
  if (code == -1) code = winsock::LastError();
  const std::string message = SocketErrorMessage(code, function);
  if (code == wsa::kECONNRESET || code == wsa::kENOTCONN) {
    if (SocketOpen()) {
      winsock::CloseSocket(socket_);
      socket_ = INVALID_SOCKET;
      if (window_) window_->PurgeSelectMessages();
    }
    if (state_ != wsClosed && !closeInvoked_) {
      closeInvoked_ = true;
      auto alive = alive_;
      TriggerSessionClosed(code);
      if (!*alive) return;
    }
    ChangeState(wsClosed);
  }
  lastError_ = code;
  RaiseSocketError(message);
}

void TCustomNetSocket::HandleBackgroundException(const std::exception& error) {
  auto alive = alive_;
  bool canClose = true;
  try {
    if (!destroying_) Fire(OnBgException, this, error, canClose);
  } catch (...) {
    // A failing handler must not stop the component from cleaning up.
  }
  if (!*alive || !canClose) return;
  try {
    Abort();
  } catch (...) {
  }
}

// ---- Events ----------------------------------------------------------------

bool TCustomNetSocket::TriggerDataAvailable(int error) {
  if (!OnDataAvailable || destroying_) return false;
  Fire(OnDataAvailable, this, error);
  return true;
}

void TCustomNetSocket::TriggerSessionAvailable(int error) {
  if (!destroying_) Fire(OnSessionAvailable, this, error);
}

void TCustomNetSocket::SessionConnectedHook(int error) { TriggerSessionConnected(error); }

void TCustomNetSocket::TriggerSessionConnected(int error) {
  if (!destroying_) Fire(OnSessionConnected, this, error);
}

void TCustomNetSocket::TriggerSessionClosed(int error) {
  if (!destroying_) Fire(OnSessionClosed, this, error);
}

void TCustomNetSocket::TriggerDataSent(int error) {
  if (!destroying_) Fire(OnDataSent, this, error);
}

void TCustomNetSocket::TriggerSendData(int count) {
  if (!destroying_) Fire(OnSendData, this, count);
}

void TCustomNetSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
  if (!destroying_) Fire(OnChangeState, this, oldState, newState);
}

void TCustomNetSocket::TriggerDnsLookupDone(int error) {
  if (!destroying_) Fire(OnDnsLookupDone, this, error);
}

void TCustomNetSocket::TriggerError() {
  if (!destroying_) Fire(OnError, this);
}

// ---- Window messages ------------------------------------------------------------

LRESULT TCustomNetSocket::HandleWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  return GuardedWndProc(message, wParam, lParam);
}

LRESULT TCustomNetSocket::GuardedWndProc(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  try {
    return WndProc(message, wParam, lParam);
  } catch (const std::exception& error) {
    HandleBackgroundException(error);
  } catch (...) {
    HandleBackgroundException(ESocketException("Unknown exception in NetSocket"));
  }
  return 0;
}

LRESULT TCustomNetSocket::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SOCKET_SELECT:
      DispatchSelect(wParam, lParam);
      return 0;
    case WM_SOCKET_CLOSE_DELAYED:
      Close();
      return 0;
    case WM_SOCKET_RELEASE:
      delete this;
      return 0;
    case WM_SOCKET_TEST_EXCEPTION:
      throw ESocketException("Test exception in NetSocket");
    default:
      return ::DefWindowProcA(Handle(), message, wParam, lParam);
  }
}

void TCustomNetSocket::DispatchSelect(WPARAM wParam, LPARAM lParam) {
  const auto s = static_cast<SOCKET>(wParam);
  if (s != socket_ || paused_) return;
  const int events = WSAGETSELECTEVENT(lParam);
  const int error = WSAGETSELECTERROR(lParam);
  if (CheckLogOptions(loWsockDump)) {
    std::string text =
        "AsyncSelect CtrlSocket" + std::to_string(wParam) + ", " + std::to_string(events);
    static constexpr std::pair<int, const char*> kNames[] = {{FD_CONNECT, " FD_CONNECT"},
                                                             {FD_READ, " FD_READ"},
                                                             {FD_WRITE, " FD_WRITE"},
                                                             {FD_CLOSE, " FD_CLOSE"},
                                                             {FD_ACCEPT, " FD_ACCEPT"}};
    for (const auto& [bit, name] : kNames) {
      if (events & bit) text += name;
    }
    DebugLog(loWsockDump, text);
  }
  auto alive = alive_;
  // Each step may close the socket or destroy the component.
  auto stillOurs = [&] { return *alive && s == socket_; };
  if ((events & FD_CONNECT) && stillOurs()) HandleFdConnect(error);
  if ((events & FD_READ) && stillOurs()) HandleFdRead(error);
  if ((events & FD_WRITE) && stillOurs()) HandleFdWrite(error);
  if ((events & FD_ACCEPT) && stillOurs()) HandleFdAccept(error);
  if ((events & FD_CLOSE) && stillOurs()) HandleFdClose(error);
}

void TCustomNetSocket::HandleFdConnect(int error) {
  if (state_ == wsConnected) return;
  auto alive = alive_;
  ChangeState(wsConnected);
  if (!*alive) return;
  SessionConnectedHook(error);
  if (*alive && error != 0 && state_ != wsClosed) Close();
}

void TCustomNetSocket::HandleFdRead(int error) {
  auto alive = alive_;
  if (state_ != wsConnected) {
    ChangeState(wsConnected);
    if (!*alive) return;
    SessionConnectedHook(error);
    if (!*alive) return;
  }
  ReceiveLoop(error, options_);
}

void TCustomNetSocket::HandleFdWrite(int error) {
  auto alive = alive_;
  TryToSend();
  if (*alive && sendChain_.Empty()) TriggerDataSent(error);
}

void TCustomNetSocket::HandleFdAccept(int error) { TriggerSessionAvailable(error); }

void TCustomNetSocket::HandleFdClose(int error) {
  if (state_ == wsConnecting || !SocketOpen()) return;
  auto alive = alive_;
  const SOCKET s = socket_;
  // Deliver everything still buffered before the close is announced.
  ReceiveLoop(0, options_.Without(wsoNoReceiveLoop), true);
  // A handler may have closed the connection meanwhile (and announced it).
  if (!*alive || s != socket_) return;
  if (!closeInvoked_) {
    closeInvoked_ = true;
    TriggerSessionClosed(error);
    if (!*alive) return;
  }
  if (state_ != wsClosed) Close();
}

// ---- Receiving ------------------------------------------------------------------

void TCustomNetSocket::ReceiveLoop(int error, TNetSocketOptions options, bool finalDelivery) {
  auto alive = alive_;
  for (;;) {
    try {
      lastError_ = 0;
      const std::uint64_t consumedBefore = consumed_;
      if (!TriggerDataAvailable(error)) {
        char scratch[1024];
        if (Receive(scratch, sizeof scratch) < 0 && lastError_ == wsa::kEWOULDBLOCK) {
          lastError_ = 0;
          return;
        }
      }
      if (!*alive || options.Contains(wsoNoReceiveLoop)) return;
      if (lastError_ != 0) {
        if (lastError_ == -1) lastError_ = 0;
        return;
      }
      // A pass that read nothing would repeat forever on a handler that
      // does not read: leave, the next FD_READ brings us back.
      if (consumed_ == consumedBefore || !SocketOpen()) return;
      // A read that filled the caller's buffer suggests more is waiting: go
      // on without asking. After a short read the network is drained for
      // now; every recv re-arms FD_READ, so data arriving later brings a
      // new message. Only the final delivery at FD_CLOSE asks to be sure.
      if (lastReadFilled_) continue;
      if (!finalDelivery) return;
      u_long waiting = 0;
      if (winsock::IoctlSocket(socket_, FIONREAD, &waiting) != 0) {
        lastError_ = winsock::LastError();
        return;
      }
      if (waiting == 0) return;
    } catch (...) {
      return;  // an exception ends the loop and is not passed on
    }
  }
}

int TCustomNetSocket::RecvRaw(void* buffer, int size, int flags) {
  const int count = winsock::Recv(socket_, static_cast<char*>(buffer), size, flags);
  if (count > 0) consumed_ += static_cast<std::uint64_t>(count);
  lastReadFilled_ = size > 0 && count == size;
  return count;
}

int TCustomNetSocket::Receive(void* buffer, int size) {
  const int count = RecvRaw(buffer, size, 0);
  if (count < 0) {
    lastError_ = winsock::LastError();
  } else {
    readCount_ += count;
  }
  return count;
}

std::string TCustomNetSocket::ReceiveStr() {
  int waiting = GetRcvdCount();
  if (waiting < 0) return {};
  if (waiting == 0) waiting = 255;
  std::string text(static_cast<std::size_t>(waiting), '\0');
  const int count = Receive(text.data(), waiting);
  if (count <= 0) return {};
  text.resize(static_cast<std::size_t>(count));
  return text;
}

int TCustomNetSocket::GetRcvdCount() {
  if (!SocketOpen()) return -1;
  u_long waiting = 0;
  if (winsock::IoctlSocket(socket_, FIONREAD, &waiting) != 0) return -1;
  return static_cast<int>(waiting);
}

// ---- Sending --------------------------------------------------------------------

int TCustomNetSocket::Send(const void* data, int length) {
  if (state_ != wsConnected && state_ != wsSocksConnected) {
    ReportSocketError("Send", wsa::kENOTCONN);
    return -1;
  }
  allSent_ = false;
  if (length < 0) length = 0;
  auto alive = alive_;
  const SOCKET s = socket_;
  if (SocketOpen()) {
    HandleDrainResult(
        sendChain_.Write(static_cast<const char*>(data), length, SendFunction(), SentFunction()));
  } else {
    sendChain_.Queue(static_cast<const char*>(data), length);
  }
  // OnDataSent always comes from the message loop, never from inside Send.
  if (*alive && sendChain_.Empty() && s == socket_ && Handle()) {
    ::PostMessageA(Handle(), WM_SOCKET_SELECT, static_cast<WPARAM>(s), FD_WRITE);
  }
  return length;
}

int TCustomNetSocket::SendStr(const std::string& text) {
  if (text.empty()) return 0;
  return Send(text.data(), static_cast<int>(text.size()));
}

int TCustomNetSocket::SendRaw(const char* data, int length) {
  if (socketType_ == SOCK_DGRAM) return winsock::SendTo(socket_, data, length, 0, sin_);
  return winsock::Send(socket_, data, length, sendFlags_ == wsSendUrgent ? MSG_OOB : 0);
}

TSendChain::SendFunction TCustomNetSocket::SendFunction() {
  return [this](const char* data, int length, int& error) {
    const int count = SendRaw(data, length);
    if (count < 0) error = winsock::LastError();
    return count;
  };
}

TSendChain::SentFunction TCustomNetSocket::SentFunction() {
  // Each accepted piece is announced; a handler that closes or destroys
  // the component ends the drain.
  return [this, alive = alive_, s = socket_](int count) {
    TriggerSendData(count);
    return *alive && socket_ == s;
  };
}

void TCustomNetSocket::TryToSend() {
  if (!SocketOpen() || sendChain_.Empty()) {
    allSent_ = true;
    return;
  }
  HandleDrainResult(sendChain_.Drain(SendFunction(), SentFunction()));
}

void TCustomNetSocket::HandleDrainResult(const TDrainResult& result) {
  // The component may be gone (a handler of OnSendData destroyed it): only
  // the result is looked at until the socket is known to be alive.
  if (result.kind == TDrainResult::Stopped) return;
  if (result.kind == TDrainResult::Empty) {
    allSent_ = true;
    return;
  }
  if (result.kind == TDrainResult::Blocked) return;
  const int code = result.error;
  if (code == wsa::kEWOULDBLOCK) return;  // FD_WRITE resumes
  if (IsFatalSendError(code)) {
    if (CheckLogOptions(loWsockErr)) {
      DebugLog(loWsockErr, "TNetSocket Winsock.Send failed " + std::to_string(code));
    }
    auto alive = alive_;
    closeInvoked_ = true;
    Close();
    if (*alive) TriggerSessionClosed(code);
    return;
  }
  ReportSocketError("TryToSend failed", code);
}

void TCustomNetSocket::Flush() {
  auto alive = alive_;
  while (*alive && SocketOpen() && !sendChain_.Empty()) {
    TryToSend();
    if (*alive && SocketOpen() && !sendChain_.Empty()) WaitAndPumpMessages(20);
  }
}

// ---- Connecting -------------------------------------------------------------------

bool TCustomNetSocket::CheckConnectSettings() {
  const char* problem = nullptr;
  if (SocketOpen() && state_ != wsClosed) {
    problem = "Connect: Socket already in use";
  } else if (!portAssigned_) {
    problem = "Connect: No Port Specified";
  } else if (!addrAssigned_) {
    problem = "Connect: No IP Address Specified";
  } else if (!protoAssigned_) {
    problem = "Connect: No Protocol Specified";
  }
  if (problem) RaiseSocketError(problem);
  return problem == nullptr;
}

void TCustomNetSocket::SetResolvedRemote(std::uint32_t address, int port) {
  sin_.sin_addr.s_addr = address;
  sin_.sin_port = winsock::Htons(static_cast<u_short>(port));
  addrResolved_ = portResolved_ = true;
}

void TCustomNetSocket::Connect() {
  if (!CheckConnectSettings()) return;
  try {
    if (!protoResolved_) {
      protoNumber_ = NetSocketResolveProto(proto_);
      socketType_ = SocketTypeForProtocol(protoNumber_);
      protoResolved_ = true;
    }
    if (!portResolved_) {
      sin_.sin_port = winsock::Htons(static_cast<u_short>(NetSocketResolvePort(port_, proto_)));
      portResolved_ = true;
    }
    if (!localPortResolved_) {
      localPortNumber_ = NetSocketResolvePort(localPort_, proto_);
      localPortResolved_ = true;
    }
    if (!addrResolved_) {
      sin_.sin_addr.s_addr = NetSocketResolveHost(addr_);
      addrResolved_ = true;
    }
  } catch (const ESocketException& error) {
    RaiseSocketError(std::string("connect: ") + error.what());
    return;
  }

  sendChain_.Clear();
  closeInvoked_ = false;
  auto alive = alive_;
  socket_ = winsock::Socket(AF_INET, socketType_, protoNumber_);
  if (!SocketOpen()) {
    ReportSocketError("Connect (socket)");
    return;
  }
  ChangeState(wsOpened);
  if (!*alive) return;
  if (state_ != wsOpened) {
    ReportSocketError("Connect (Invalid operation in OnChangeState)", wsa::kEINVAL);
    return;
  }

  auto failSetup = [&](const std::string& function, int code = -1) {
    const SOCKET s = socket_;
    if (code == -1) code = winsock::LastError();
    ReportSocketError(function, code);
    if (*alive && s == socket_) CompleteFailedConnect(code);
  };

  if (socketType_ == SOCK_STREAM) {
    const BOOL on = TRUE;
    if (winsock::SetSockOpt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      return failSetup("setsockopt(SO_REUSEADDR)");
    }
    if (options_.Contains(wsoTcpNoDelay) &&
        winsock::SetSockOpt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      return failSetup("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
    }
    const SOCKET s = socket_;
    lastError_ = 0;
    ApplyLinger();
    if (*alive && s == socket_ && lastError_ == 0) ApplyKeepAlive();
    if (*alive && s == socket_ && lastError_ == 0 &&
        (localPortNumber_ != 0 || localAddr_ != "0.0.0.0")) {
      BindLocal();
    }
    if (!*alive || s != socket_) return;
    if (lastError_ != 0) return CompleteFailedConnect(lastError_);
  } else if (socketType_ == SOCK_DGRAM) {
    const SOCKET s = socket_;
    if (!PrepareDatagram()) {
      if (*alive && s == socket_) CompleteFailedConnect(lastError_);
      return;
    }
  }

  selectMask_ = kSelectMask;
  if (winsock::AsyncSelect(socket_, Handle(), WM_SOCKET_SELECT, selectMask_) != 0) {
    return failSetup("WSAAsyncSelect");
  }

  if (socketType_ == SOCK_DGRAM) {
    ChangeState(wsConnected);
    if (*alive) SessionConnectedHook(0);
    return;
  }
  if (CheckLogOptions(loWsockInfo)) {
    DebugLog(loWsockInfo, "TNetSocket will connect to " + DottedFromNetworkBytes(&sin_.sin_addr) +
                              ":" + std::to_string(winsock::Ntohs(sin_.sin_port)));
  }
  if (winsock::Connect(socket_, sin_) != 0) {
    const int code = winsock::LastError();
    if (code != wsa::kEWOULDBLOCK) {
      lastError_ = code;
      return failSetup("Connect", code);
    }
  }
  ChangeState(wsConnecting);
}

void TCustomNetSocket::CompleteFailedConnect(int code) {
  // A setup step failed after the socket exists. With OnError bound nothing
  // was raised, so the caller would wait forever: complete the attempt with
  // the error through the message loop, as a failed connect does.
  if (SocketOpen() && Handle()) {
    ::PostMessageA(Handle(), WM_SOCKET_SELECT, static_cast<WPARAM>(socket_),
                   WSAMAKESELECTREPLY(FD_CONNECT, code));
  }
}

void TCustomNetSocket::BindLocal() {
  lastError_ = 0;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = winsock::Htons(static_cast<u_short>(localPortNumber_));
  try {
    local.sin_addr.s_addr = NetSocketResolveHost(localAddr_);
  } catch (const ESocketException& error) {
    lastError_ = wsa::kEINVAL;
    RaiseSocketError(std::string("connect: ") + error.what());
    return;
  }
  if (winsock::Bind(socket_, local) != 0) {
    lastError_ = winsock::LastError();
    RaiseSocketError("winsock.bind failed, error #" + std::to_string(lastError_));
    return;
  }
  sockaddr_in bound{};
  if (winsock::GetSockName(socket_, bound) != 0) {
    lastError_ = winsock::LastError();
    RaiseSocketError("winsock.getsockname failed, error #" + std::to_string(lastError_));
    return;
  }
  localPortNumber_ = winsock::Ntohs(bound.sin_port);
  localPort_ = std::to_string(localPortNumber_);
}

void TCustomNetSocket::ApplyLinger() {
  if (lingerOnOff_ == wsLingerNoSet) return;
  if (!SocketOpen()) {
    RaiseSocketError("Cannot set linger option at this time");
    return;
  }
  linger value{};
  value.l_onoff = lingerOnOff_ == wsLingerOn ? 1 : 0;
  value.l_linger = static_cast<u_short>(lingerTimeout_);
  if (winsock::SetSockOpt(socket_, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
    ReportSocketError("setsockopt(SO_LINGER)");
  }
}

void TCustomNetSocket::ApplyKeepAlive() {
  if (keepAliveOnOff_ == wsKeepAliveOff) return;
  const BOOL on = TRUE;
  if (winsock::SetSockOpt(socket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    ReportSocketError("setsockopt(SO_KEEPALIVE)");
    return;
  }
  if (keepAliveOnOff_ != wsKeepAliveOnCustom) return;
  struct {
    u_long onoff, time, interval;
  } values{1, static_cast<u_long>(keepAliveTime_), static_cast<u_long>(keepAliveInterval_)};
  DWORD returned = 0;
  if (winsock::Ioctl(socket_, kSioKeepAliveVals, &values, sizeof values, nullptr, 0, &returned) !=
      0) {
    ReportSocketError("NetSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
  }
}

// ---- Closing --------------------------------------------------------------------

void TCustomNetSocket::Close() { CloseInternal(true, 0); }

void TCustomNetSocket::CloseDelayed() {
  if (Handle()) ::PostMessageA(Handle(), WM_SOCKET_CLOSE_DELAYED, 0, 0);
}

void TCustomNetSocket::Release() {
  if (Handle()) ::PostMessageA(Handle(), WM_SOCKET_RELEASE, 0, 0);
}

void TCustomNetSocket::Abort() { AbortInternal(0); }

void TCustomNetSocket::AbortInternal(int error) {
  auto alive = alive_;
  CancelDnsLookup();
  if (!*alive) return;
  sendChain_.Clear();
  if (state_ == wsConnected && protoNumber_ == 6 && SocketOpen()) {
    lingerOnOff_ = wsLingerOff;
    ApplyLinger();
    if (!*alive) return;
  }
  CloseInternal(false, error);
}

void TCustomNetSocket::Shutdown(int how) {
  if (CheckLogOptions(loWsockInfo)) {
    char self[16];
    std::snprintf(self, sizeof self, "%08X",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(this)));
    DebugLog(loWsockInfo, std::string(self) + " TCustomNetSocket.Shutdown " + std::to_string(how) +
                              " " + std::to_string(socket_));
  }
  if (SocketOpen()) winsock::Shutdown(socket_, how);
}

bool TCustomNetSocket::CheckLogOptions(TLogOption category) const {
  const auto logger = logger_.lock();
  return logger && logger->Wants(category);
}

void TCustomNetSocket::DebugLog(TLogOption category, const std::string& text) {
  if (const auto logger = logger_.lock()) logger->DoDebugLog(this, category, text);
}

void TCustomNetSocket::CloseInternal(bool shut, int error) {
  if (!SocketOpen()) {
    if (state_ != wsClosed) {
      state_ = wsClosed;
      ResetToDefaults();
    }
    return;
  }
  if (state_ == wsClosed) {
    // Left open by a failed bind or listen: release it quietly.
    winsock::CloseSocket(socket_);
    socket_ = INVALID_SOCKET;
    if (window_) window_->PurgeSelectMessages();
    return;
  }
  auto alive = alive_;
  if (shut) Shutdown(1);
  int result = 0;
  int closeError = 0;
  bool lingerCleared = false;
  for (;;) {
    result = winsock::CloseSocket(socket_);
    if (result == 0) break;
    closeError = winsock::LastError();
    if (closeError != wsa::kEWOULDBLOCK) break;
    if (destroying_) {
      // No message pumping inside a destructor: let the system finish the
      // lingering close in the background instead (one more try).
      if (lingerCleared) break;
      lingerCleared = true;
      linger off{};
      winsock::SetSockOpt(socket_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
      continue;
    }
    PumpMessages();
    if (!*alive) return;
  }
  // The handle is gone whatever closesocket said: the component is closed,
  // so a later Send fails instead of queueing data nobody will send.
  socket_ = INVALID_SOCKET;
  if (window_) window_->PurgeSelectMessages();
  ChangeState(wsClosed);
  if (!*alive) return;
  if (!destroying_ && !closeInvoked_) {
    closeInvoked_ = true;
    TriggerSessionClosed(error);
    if (!*alive) return;
  }
  try {
    ResetToDefaults();
  } catch (...) {
  }
  if (result != 0 && closeError != wsa::kNOTINITIALISED) {
    ReportSocketError("Disconnect (closesocket)", closeError);
  }
}

void TCustomNetSocket::WaitForClose() {
  auto alive = alive_;
  while (*alive && SocketOpen() && state_ != wsClosed) {
    PumpMessages();
    if (!*alive || !SocketOpen()) return;
    u_long waiting = 0;
    if (winsock::IoctlSocket(socket_, FIONREAD, &waiting) != 0) return;
    if (waiting > 0) TriggerDataAvailable(0);
    if (!*alive || !SocketOpen()) return;
    char probe = 0;
    if (winsock::Recv(socket_, &probe, 0, 0) < 0 && winsock::LastError() != wsa::kEWOULDBLOCK) {
      return;
    }
    WaitAndPumpMessages(20);
  }
}

// ---- Pause, addresses, threads ------------------------------------------------------

void TCustomNetSocket::Pause() {
  paused_ = true;
  if (SocketOpen() && Handle()) winsock::AsyncSelect(socket_, Handle(), 0, 0);
}

void TCustomNetSocket::Resume() {
  paused_ = false;
  if (SocketOpen() && Handle()) {
    if (winsock::AsyncSelect(socket_, Handle(), WM_SOCKET_SELECT, selectMask_) != 0) {
      ReportSocketError("WSAAsyncSelect");
    }
  }
}

bool TCustomNetSocket::QueryAddress(bool peer, const char* function, sockaddr_in& address) {
  const bool connected = state_ == wsConnected;
  if (peer ? !connected : !(connected || state_ == wsBound || state_ == wsListening)) return false;
  const int result =
      peer ? winsock::GetPeerName(socket_, address) : winsock::GetSockName(socket_, address);
  if (result == 0) return true;
  ReportSocketError(function);
  return false;
}

std::string TCustomNetSocket::GetPeerAddr() {
  sockaddr_in address{};
  return QueryAddress(true, "GetPeerAddr", address) ? DottedFromNetworkBytes(&address.sin_addr)
                                                    : "error";
}

std::string TCustomNetSocket::GetPeerPort() {
  sockaddr_in address{};
  return QueryAddress(true, "GetPeerPort", address)
             ? std::to_string(winsock::Ntohs(address.sin_port))
             : "error";
}

std::string TCustomNetSocket::GetBoundAddr() {
  sockaddr_in address{};
  return QueryAddress(false, "GetBoundAddr", address) ? DottedFromNetworkBytes(&address.sin_addr)
                                                      : "error";
}

std::string TCustomNetSocket::GetBoundPort() {
  sockaddr_in address{};
  return QueryAddress(false, "GetBoundPort", address)
             ? std::to_string(winsock::Ntohs(address.sin_port))
             : "error";
}

void TCustomNetSocket::PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      if (multiThreaded_) continue;
      // The application's own loop must see the quit request too.
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

void TCustomNetSocket::WaitAndPumpMessages(unsigned timeoutMs) {
  ::MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs, QS_ALLINPUT);
  PumpMessages();
}

void TCustomNetSocket::DetachFromThread() {
  if (detached_) return;
  if (!window_ || window_->ThreadId() != ::GetCurrentThreadId()) {
    RaiseSocketError("Cannot detach from other thread");
    return;
  }
  if (SocketOpen()) winsock::AsyncSelect(socket_, Handle(), 0, 0);
  AbandonLookup();
  window_.reset();
  detached_ = true;
}

void TCustomNetSocket::AttachToThread() {
  if (!detached_) {
    RaiseSocketError("Cannot attach when not detached");
    return;
  }
  window_.reset(new TSocketWindow(*this));
  detached_ = false;
  if (SocketOpen() && selectMask_ != 0 && !paused_) {
    if (winsock::AsyncSelect(socket_, Handle(), WM_SOCKET_SELECT, selectMask_) != 0) {
      ReportSocketError("WSAAsyncSelect");
    }
  }
}

}  // namespace corvan::net
