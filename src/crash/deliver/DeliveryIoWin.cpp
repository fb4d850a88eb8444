// Windows Sockets and the progress window under report delivery.
#include <winsock2.h>
// winsock2.h before windows.h
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>

#include "common/UniqueHandle.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/DnsReply.h"

namespace corvan::crash {
namespace {

void CloseSocket(SOCKET s) { closesocket(s); }

// A socket; INVALID_SOCKET is stored as the empty value.
class ScopedSocket : public UniqueHandle<SOCKET, CloseSocket> {
 public:
  explicit ScopedSocket(SOCKET s) : UniqueHandle(s == INVALID_SOCKET ? SOCKET{} : s) {}
};

// A dotted address or a name resolved with gethostbyname; false when
// neither works.
bool ResolveHost(const std::string& host, in_addr& address) {
  // gethostbyname("") would answer with this machine.
  if (host.empty()) return false;
  address.s_addr = inet_addr(host.c_str());
  if (address.s_addr != INADDR_NONE || host == "255.255.255.255") return true;
  const hostent* entry = gethostbyname(host.c_str());
  if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return false;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return true;
}

// Waits until the socket has data; false on time-out or error.
bool WaitReadable(SOCKET s, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

class WinConnection final : public BlockingConnection {
 public:
  explicit WinConnection(ScopedSocket socket) : socket_(std::move(socket)) {}

  bool Send(const void* data, std::size_t size) override {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
      const int piece = static_cast<int>(std::min<std::size_t>(size, 64 * 1024));
      const int sent = send(socket_.get(), at, piece, 0);
      if (sent <= 0) return false;
      at += sent;
      size -= static_cast<std::size_t>(sent);
    }
    return true;
  }

  long Receive(void* buffer, std::size_t size, int timeoutMs) override {
    if (!WaitReadable(socket_.get(), timeoutMs)) return -1;
    const int n = recv(socket_.get(), static_cast<char*>(buffer),
                       static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
    return n < 0 ? -1 : n;
  }

 private:
  ScopedSocket socket_;
};

class WinDnsExchange final : public DeliveryNetwork::DnsExchange {
 public:
  explicit WinDnsExchange(ScopedSocket socket) : socket_(std::move(socket)) {}

  bool SendQuery(const std::string& server, const std::vector<std::uint8_t>& query,
                 std::string& sentTo) override {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    if (!ResolveHost(server, to.sin_addr)) return false;
    sentTo = AddressText(to);
    return sendto(socket_.get(), reinterpret_cast<const char*>(query.data()),
                  static_cast<int>(query.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<int>(query.size());
  }

  bool Receive(std::vector<std::uint8_t>& reply, std::string& from, int timeoutMs) override {
    if (!WaitReadable(socket_.get(), timeoutMs)) return false;
    reply.resize(kDnsReplySize);
    sockaddr_in sender = {};
    int senderSize = sizeof sender;
    const int n = recvfrom(socket_.get(), reinterpret_cast<char*>(reply.data()),
                           static_cast<int>(reply.size()), 0, reinterpret_cast<sockaddr*>(&sender),
                           &senderSize);
    if (n < 0) return false;
    reply.resize(static_cast<std::size_t>(n));
    from = sender.sin_family == AF_INET ? AddressText(sender) : std::string();
    return true;
  }

 private:
  // "a.b.c.d:port".
  static std::string AddressText(const sockaddr_in& address) {
    const auto a = reinterpret_cast<const std::uint8_t*>(&address.sin_addr);
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]) + ":" + std::to_string(ntohs(address.sin_port));
  }

 private:
  ScopedSocket socket_;
};

}  // namespace

std::unique_ptr<BlockingConnection> WinDeliveryNetwork::Connect(const std::string& host,
                                                                std::uint16_t port,
                                                                DeliveryProgress& progress) {
  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  ScopedSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!socket || !ResolveHost(host, peer.sin_addr)) return nullptr;
  progress.AreaDone();
  if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    return nullptr;
  }
  progress.AreaDone();
  // A peer that stops reading ends the send after this long instead of
  // holding the sending thread for good.
  const DWORD sendLimitMs = kSendTimeoutMs;
  setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendLimitMs),
             sizeof sendLimitMs);
  return std::make_unique<WinConnection>(std::move(socket));
}

std::unique_ptr<BlockingConnection> WinDeliveryNetwork::Secure(
    std::unique_ptr<BlockingConnection> plain, const std::string& host, std::string& failure) {
  return StartTls(std::move(plain), net::SystemTlsProvider(host), kTlsHandshakeTimeoutMs, failure);
}

std::unique_ptr<DeliveryNetwork::DnsExchange> WinDeliveryNetwork::OpenDns() {
  ScopedSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  if (!socket || bind(socket.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    return nullptr;
  }
  return std::make_unique<WinDnsExchange>(std::move(socket));
}

std::vector<std::string> WinDeliveryNetwork::DnsServers() { return FindDnsServers(); }

std::vector<std::string> FindDnsServers() {
  // The IP helper is loaded only for a direct delivery: it brings libraries
  // of its own.
  const auto networkParams =
      SystemFunction<decltype(&GetNetworkParams)>("iphlpapi.dll", "GetNetworkParams");
  ULONG size = 0;
  if (!networkParams || networkParams(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0)
    return {};
  // Twice the size asked for: the list may grow between the two calls.
  std::vector<std::uint8_t> buffer(size * 2);
  size = static_cast<ULONG>(buffer.size());
  auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
  if (networkParams(info, &size) != ERROR_SUCCESS) return {};
  std::vector<std::string> servers;
  auto add = [&](const IP_ADDR_STRING* entry) {
    const std::string address(entry->IpAddress.String,
                              strnlen(entry->IpAddress.String, sizeof entry->IpAddress.String));
    if (!address.empty() && std::find(servers.begin(), servers.end(), address) == servers.end()) {
      servers.push_back(address);
    }
  };
  if (info->CurrentDnsServer) add(info->CurrentDnsServer);
  for (const IP_ADDR_STRING* entry = &info->DnsServerList; entry; entry = entry->Next) add(entry);
  return servers;
}

void ProgressWindowDriver::ClearAreas() { window_ ? window_->ClearAreas() : none_.ClearAreas(); }
void ProgressWindowDriver::AddArea(const std::string& text, std::uint64_t weight) {
  window_ ? window_->AddArea(text, weight) : none_.AddArea(text, weight);
}
void ProgressWindowDriver::AreaDone() { window_ ? window_->AreaDone() : none_.AreaDone(); }
void ProgressWindowDriver::SetPosition(int perMille) {
  window_ ? window_->SetPosition(perMille) : none_.SetPosition(perMille);
}
int ProgressWindowDriver::CurrentArea() {
  return window_ ? window_->CurrentArea() : none_.CurrentArea();
}
void ProgressWindowDriver::SetCurrentArea(int area) {
  window_ ? window_->SetCurrentArea(area) : none_.SetCurrentArea(area);
}

}  // namespace corvan::crash
