#include "LoopbackPeer.h"

#include <stdexcept>

namespace corvan::net::testing {

void StartPlainWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}

TLoopbackPeer::TLoopbackPeer(Script script) {
  StartPlainWinsock();
  listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 1) != 0) {
    throw std::runtime_error("peer: cannot listen");
  }
  int length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  done_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread([this, script = std::move(script)] {
    SOCKET connection = ::accept(listener_, nullptr, nullptr);
    if (connection != INVALID_SOCKET) {
      try {
        script(connection);
      } catch (...) {
      }
      ::closesocket(connection);
    }
    ::SetEvent(done_);
  });
}

TLoopbackPeer::~TLoopbackPeer() {
  ::closesocket(listener_);  // ends an accept that never got a connection
  if (thread_.joinable()) thread_.join();
  ::CloseHandle(done_);
}

bool TLoopbackPeer::Join(DWORD timeoutMs) {
  return ::WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
}

void SendAll(SOCKET s, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const int n = ::send(s, data.data() + done, static_cast<int>(data.size() - done), 0);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadToEnd(SOCKET s) {
  std::string all;
  char buffer[65536];
  for (;;) {
    const int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return all;
    all.append(buffer, static_cast<std::size_t>(n));
  }
}

void ResetConnection(SOCKET s) {
  linger value{1, 0};
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value);
}

int UnusedPort() {
  StartPlainWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::closesocket(s);  // bound, never listened: the port refuses connections
  return ntohs(address.sin_port);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    const DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= timeoutMs) return done();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(50, timeoutMs - elapsed),
                                QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  }
  return true;
}

void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

}  // namespace corvan::net::testing
