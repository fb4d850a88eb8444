// Server and datagram side of the socket component: listening, accepting,
// adopting an accepted connection, datagrams with broadcast and multicast,
// raw sockets.
#include "net/socket/NetSocket.h"
#include "net/socket/NetSocketInternal.h"

namespace corvan::net {
namespace {

constexpr long kListenMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;  // 43
constexpr long kDupMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;    // 51
constexpr DWORD kSioRcvAll = 0x98000001;
// wsock32 takes the Winsock 1.1 numbers of the multicast options (ws2_32's
// headers define other values).
constexpr int kIpMulticastIf = 2;
constexpr int kIpMulticastTtl = 3;
constexpr int kIpAddMembership = 5;
constexpr std::uint32_t kBroadcast = 0xFFFFFFFFu;

}  // namespace

bool TCustomNetSocket::PrepareDatagram() {
  lastError_ = 0;
  const SOCKET s = socket_;
  auto alive = alive_;
  BindLocal();
  if (!*alive || s != socket_ || lastError_ != 0) return false;
  auto option = [&](int level, int name, const void* value, int size, const char* text) {
    if (winsock::SetSockOpt(socket_, level, name, value, size) == 0) return true;
    lastError_ = winsock::LastError();
    ReportSocketError(text, lastError_);
    return false;
  };
  if (multiCast_) {
    const DWORD ttl = static_cast<DWORD>(multiCastTtl_);
    if (multiCastTtl_ != 1 &&
        !option(IPPROTO_IP, kIpMulticastTtl, &ttl, sizeof ttl, "setsockopt(IP_MULTICAST_TTL)")) {
      return false;
    }
    if (localAddr_ != "0.0.0.0") {
      const std::uint32_t address = winsock::InetAddr(localAddr_.c_str());
      if (!option(IPPROTO_IP, kIpMulticastIf, &address, sizeof address,
                  "setsockopt(IP_MULTICAST_IF)")) {
        return false;
      }
    }
  }
  if (sin_.sin_addr.s_addr == kBroadcast) {
    const BOOL on = TRUE;
    if (!option(SOL_SOCKET, SO_BROADCAST, &on, sizeof on, "setsockopt(SO_BROADCAST)")) return false;
  }
  return true;
}

void TCustomNetSocket::Listen() {
  const char* missing = !portAssigned_       ? "listen: port not assigned"
                        : !protoAssigned_    ? "listen: protocol not assigned"
                        : !addrAssigned_     ? "listen: address not assigned"
                        : state_ != wsClosed ? "listen: socket already in use"
                                             : nullptr;
  if (missing) {
    ReportSocketError(missing, wsa::kEINVAL);
    return;
  }
  int type = SOCK_STREAM;
  int protocol = 0;
  try {
    if (LowerText(proto_.substr(0, 4)) == "raw_") {
      type = SOCK_RAW;
      protocol = NetSocketResolveProto(proto_.substr(4, 10));
    } else {
      protocol = NetSocketResolveProto(proto_);
      type = protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    }
    const int port = NetSocketResolvePort(port_, type == SOCK_DGRAM ? "udp" : "tcp");
    SetResolvedRemote(NetSocketResolveHost(addr_), port);
  } catch (const ESocketException& error) {
    RaiseSocketError(std::string("listen: ") + error.what());
    return;
  }
  protoNumber_ = protocol;
  socketType_ = type;
  protoResolved_ = true;
  if (!OpenListener(type, protocol)) return;
  selectMask_ = kListenMask;
  if (winsock::AsyncSelect(socket_, Handle(), WM_SOCKET_SELECT, selectMask_) != 0) {
    ReportSocketError("WSAASyncSelect");
    return;
  }
  if (type == SOCK_STREAM) {
    ChangeState(wsListening);
    return;
  }
  ListenConnected();
}

bool TCustomNetSocket::OpenListener(int type, int protocol) {
  CloseInternal(false, 0);  // a socket a failed attempt left open
  sendChain_.Clear();
  closeInvoked_ = false;
  socket_ = winsock::Socket(AF_INET, type, protocol);
  if (!SocketOpen()) {
    ReportSocketError("socket");
    return false;
  }
  const SOCKET s = socket_;
  auto alive = alive_;
  auto fail = [&](const char* function) {
    ReportSocketError(function);
    return false;
  };
  const BOOL on = TRUE;
  if (type == SOCK_DGRAM && reuseAddr_ &&
      winsock::SetSockOpt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return fail("setsockopt(SO_REUSEADDR)");
  }
  if (winsock::Bind(socket_, sin_) != 0) return fail("Bind");
  ChangeState(wsBound);
  if (!*alive || s != socket_) return false;
  if (type == SOCK_STREAM && winsock::Listen(socket_, listenBacklog_) != 0) return fail("Listen");
  if (type == SOCK_DGRAM && multiCast_) {
    // The group is joined on LocalAddr's interface when one is given: a
    // receiver bound to all interfaces still chooses where it listens.
    const std::string& interfaceAddr = localAddr_ != "0.0.0.0" ? localAddr_ : addr_;
    struct {
      std::uint32_t group, interfaceAddress;
    } membership{static_cast<std::uint32_t>(winsock::InetAddr(multiCastAddr_.c_str())), 0};
    try {
      membership.interfaceAddress = NetSocketResolveHost(interfaceAddr);
    } catch (const ESocketException& error) {
      RaiseSocketError(std::string("listen: ") + error.what());
      return false;
    }
    if (winsock::SetSockOpt(socket_, IPPROTO_IP, kIpAddMembership, &membership,
                            sizeof membership) != 0) {
      return fail("setsockopt(IP_ADD_MEMBERSHIP)");
    }
  }
  if (type == SOCK_RAW && options_.Contains(wsoSIO_RCVALL)) {
    DWORD value = 1, returned = 0;
    if (winsock::Ioctl(socket_, kSioRcvAll, &value, sizeof value, nullptr, 0, &returned) != 0) {
      return fail("WSAIoctl(SIO_RCVALL)");
    }
  }
  return true;
}

void TCustomNetSocket::ListenConnected() {
  auto alive = alive_;
  ChangeState(wsListening);
  if (!*alive) return;
  ChangeState(wsConnected);
  if (*alive) SessionConnectedHook(0);
}

SOCKET TCustomNetSocket::Accept() {
  if (state_ != wsListening) {
    ReportSocketError("not a listening socket", wsa::kEINVAL);
    return INVALID_SOCKET;
  }
  const SOCKET accepted = winsock::Accept(socket_, sin_);
  if (accepted == INVALID_SOCKET) ReportSocketError("Accept");
  return accepted;
}

void TCustomNetSocket::Dup(SOCKET handle) {
  if (handle == 0 || handle == INVALID_SOCKET) {
    ReportSocketError("Dup", wsa::kEINVAL);
    return;
  }
  auto alive = alive_;
  if (SocketOpen()) {
    if (winsock::CloseSocket(socket_) != 0) {
      ReportSocketError("Dup (closesocket)");
      return;
    }
    socket_ = INVALID_SOCKET;
    if (window_) window_->PurgeSelectMessages();
    ChangeState(wsClosed);
    if (!*alive) return;
  }
  sendChain_.Clear();
  closeInvoked_ = false;
  socket_ = handle;
  protoNumber_ = IPPROTO_TCP;
  socketType_ = SOCK_STREAM;
  lastError_ = 0;
  ApplyLinger();
  if (!*alive || socket_ != handle || lastError_ != 0) return;
  selectMask_ = kDupMask;
  if (winsock::AsyncSelect(socket_, Handle(), WM_SOCKET_SELECT, selectMask_) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  ChangeState(wsConnected);
}

int TCustomNetSocket::SendTo(const sockaddr_in& to, const void* data, int length) {
  const sockaddr_in target = to;
  const int count = winsock::SendTo(socket_, static_cast<const char*>(data), length,
                                    sendFlags_ == wsSendUrgent ? MSG_OOB : 0, target);
  if (count < 0) {
    lastError_ = winsock::LastError();
    return count;
  }
  auto alive = alive_;
  const SOCKET s = socket_;
  TriggerSendData(count);
  if (*alive && socketType_ == SOCK_DGRAM && sendChain_.Empty() && s == socket_ && Handle()) {
    ::PostMessageA(Handle(), WM_SOCKET_SELECT, static_cast<WPARAM>(s), FD_WRITE);
  }
  return count;
}

int TCustomNetSocket::ReceiveFrom(void* buffer, int size, sockaddr_in& from) {
  const int count = winsock::RecvFrom(socket_, static_cast<char*>(buffer), size, 0, from);
  if (count < 0) {
    lastError_ = winsock::LastError();
    return count;
  }
  readCount_ += count;
  consumed_ += static_cast<std::uint64_t>(count);
  lastReadFilled_ = false;  // one datagram per read; FD_READ comes for the next
  return count;
}

}  // namespace corvan::net
