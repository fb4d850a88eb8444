// Receiving 256 MiB with TNetSocket through dante (SOCKS 5) against the
// same transfer direct, under Wine; run by bench/socks.sh, which starts
// dante. Ends with: ratio socks-throughput <through SOCKS / direct>.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/socket/NetSocket.h"

namespace {

using corvan::net::TCustomNetSocket;
using corvan::net::TNetSocket;

constexpr std::int64_t kVolume = 256ll << 20;
constexpr int kBlock = 65536;

double Seconds() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Serves kVolume bytes to one connection on 127.0.0.1.
class Source {
 public:
  Source() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    int size = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      SOCKET s = accept(listener_, nullptr, nullptr);
      std::vector<char> block(kBlock, 's');
      for (std::int64_t sent = 0; sent < kVolume;) {
        const int n = send(s, block.data(),
                           static_cast<int>(std::min<std::int64_t>(kBlock, kVolume - sent)), 0);
        if (n <= 0) break;
        sent += n;
      }
      shutdown(s, SD_SEND);
      closesocket(s);
    });
  }
  ~Source() {
    thread_.join();
    closesocket(listener_);
  }
  int Port() const { return port_; }

 private:
  SOCKET listener_;
  int port_ = 0;
  std::thread thread_;
};

double Receive(const std::string& socksPort) {
  Source source;
  TNetSocket socket;
  std::vector<char> block(kBlock);
  std::int64_t received = 0;
  bool done = false;
  socket.OnDataAvailable = [&](TCustomNetSocket* s, int) {
    const int n = s->Receive(block.data(), kBlock);
    if (n > 0) received += n;
  };
  socket.OnSessionClosed = [&](TCustomNetSocket*, int) { done = true; };
  if (!socksPort.empty()) {
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(socksPort);
  }
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(source.Port()));
  const double start = Seconds();
  socket.Connect();
  MSG msg;
  while (!done && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  const double seconds = Seconds() - start;
  if (received != kVolume) {
    std::printf("received %lld of %lld bytes\n", static_cast<long long>(received),
                static_cast<long long>(kVolume));
    std::exit(4);
  }
  return static_cast<double>(kVolume) / seconds / (1 << 20);
}

}  // namespace

int main() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const char* port = std::getenv("CORVAN_DANTE_PORT");
  if (!port) return 1;
  // Alternating rounds under the same load; the median ratio is reported.
  std::vector<double> direct, socks, ratio;
  for (int round = 0; round < 5; ++round) {
    direct.push_back(Receive(""));
    socks.push_back(Receive(port));
    ratio.push_back(socks.back() / direct.back());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("direct: %.1f MiB/s (median)\n", median(direct));
  std::printf("through dante: %.1f MiB/s (median)\n", median(socks));
  std::printf("ratio socks-throughput %.3f\n", median(ratio));
  return 0;
}
