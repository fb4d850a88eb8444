#include "LoopbackPeer.h"

#include <cstdio>
#include <fstream>
#include <sstream>
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

namespace {

// True when the host lists a listening TCP socket on 127.0.0.1:port (read
// from /proc through Wine's Z: drive, so the probe takes no connection).
bool HostListensOn(int port) {
  std::ifstream table("Z:\\proc\\net\\tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

}  // namespace

TSocatPeer::TSocatPeer(const std::string& script) : port_(UnusedPort()) {
  std::string command = "/usr/bin/socat -T 10 TCP-LISTEN:" + std::to_string(port_) +
                        ",bind=127.0.0.1,reuseaddr \"SYSTEM:" + script + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    throw std::runtime_error("cannot start socat");
  }
  ::CloseHandle(info.hThread);
  process_ = info.hProcess;
  for (int i = 0; i < 100 && !HostListensOn(port_); ++i) ::Sleep(50);
  if (!HostListensOn(port_)) throw std::runtime_error("socat does not listen");
}

TSocatPeer::~TSocatPeer() { ::CloseHandle(process_); }

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

}  // namespace corvan::net::testing
