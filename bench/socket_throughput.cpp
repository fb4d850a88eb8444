// Loopback throughput of TNetSocket against a plain blocking Winsock loop,
// in the same process and Wine prefix. Each side moves the same volume in
// both directions: the component sending (send chain, OnDataSent) to a
// plain sink thread, and receiving (receive loop, OnDataAvailable) from a
// plain source thread; the plain loop does the same with blocking calls.
// Prints both rates, the memory the component run needed, and ends with
//   ratio socket-throughput <component rate / plain rate>
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "WinClock.h"
#include "net/socket/NetSocket.h"

using corvan::net::TCustomNetSocket;
using corvan::net::TNetSocket;

namespace {

const std::int64_t kVolume =
    (std::getenv("BENCH_MIB") ? std::atoll(std::getenv("BENCH_MIB")) : 256ll) << 20;
constexpr int kBlock = 64 << 10;

using corvan::bench::Seconds;

double PeakWorkingSetMiB() {
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20);
}

double WorkingSetMiB() {
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return static_cast<double>(counters.WorkingSetSize) / (1 << 20);
}

// A plain listening socket on 127.0.0.1; its one connection is served by
// a thread that either drains everything (sink) or sends kVolume (source).
class PlainPeer {
 public:
  explicit PlainPeer(bool source) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    int length = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, source] {
      SOCKET s = accept(listener_, nullptr, nullptr);
      std::vector<char> buffer(kBlock, 'x');
      if (source) {
        for (std::int64_t sent = 0; sent < kVolume;) {
          const int n = send(s, buffer.data(), kBlock, 0);
          if (n <= 0) break;
          sent += n;
        }
        shutdown(s, SD_SEND);
      }
      while (recv(s, buffer.data(), kBlock, 0) > 0) {
      }
      closesocket(s);
    });
  }
  ~PlainPeer() {
    closesocket(listener_);
    thread_.join();
  }
  int Port() const { return port_; }

 private:
  SOCKET listener_;
  int port_ = 0;
  std::thread thread_;
};

SOCKET PlainConnect(int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port));
  connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return s;
}

// Seconds of the last run's send and receive halves.
double g_sendSeconds = 0, g_receiveSeconds = 0;

double PlainRun() {
  std::vector<char> block(kBlock, 'p');
  const double start = Seconds();
  {
    PlainPeer sink(false);
    SOCKET s = PlainConnect(sink.Port());
    for (std::int64_t sent = 0; sent < kVolume;) {
      const int n = send(s, block.data(), kBlock, 0);
      if (n <= 0) std::exit(2);
      sent += n;
    }
    shutdown(s, SD_SEND);
    while (recv(s, block.data(), kBlock, 0) > 0) {
    }
    closesocket(s);
  }
  g_sendSeconds = Seconds() - start;
  {
    PlainPeer source(true);
    SOCKET s = PlainConnect(source.Port());
    std::int64_t received = 0;
    for (int n; (n = recv(s, block.data(), kBlock, 0)) > 0;) received += n;
    closesocket(s);
    if (received != kVolume) std::exit(3);
  }
  g_receiveSeconds = Seconds() - start - g_sendSeconds;
  return static_cast<double>(2 * kVolume) / (Seconds() - start);
}

void PumpUntil(const bool& done) {
  MSG msg;
  while (!done && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

double ComponentRun(double& memoryGrowthMiB) {
  std::vector<char> block(kBlock, 'c');
  const double start = Seconds();
  {
    PlainPeer sink(false);
    TNetSocket socket;
    std::int64_t queued = 0;
    bool done = false;
    double memoryAtQuarter = 0;
    auto sendMore = [&](TCustomNetSocket* s, int) {
      if (queued >= kVolume) {
        s->SetLingerOnOff(corvan::net::wsLingerNoSet);
        s->Close();
        return;
      }
      if (queued == kVolume / 4) memoryAtQuarter = WorkingSetMiB();
      queued += s->Send(block.data(), kBlock);
    };
    socket.OnDataSent = sendMore;
    socket.OnSessionClosed = [&](TCustomNetSocket*, int) { done = true; };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(sink.Port()));
    socket.SetLingerOnOff(corvan::net::wsLingerNoSet);
    socket.Connect();
    PumpUntil(done);
    memoryGrowthMiB = WorkingSetMiB() - memoryAtQuarter;
  }
  g_sendSeconds = Seconds() - start;
  {
    PlainPeer source(true);
    TNetSocket socket;
    std::int64_t received = 0;
    bool done = false;
    socket.OnDataAvailable = [&](TCustomNetSocket* s, int) {
      const int n = s->Receive(block.data(), kBlock);
      if (n > 0) received += n;
    };
    socket.OnSessionClosed = [&](TCustomNetSocket*, int) { done = true; };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(source.Port()));
    socket.Connect();
    PumpUntil(done);
    if (received != kVolume) {
      std::printf("component received %lld of %lld bytes\n", static_cast<long long>(received),
                  static_cast<long long>(kVolume));
      std::exit(4);
    }
  }
  g_receiveSeconds = Seconds() - start - g_sendSeconds;
  return static_cast<double>(2 * kVolume) / (Seconds() - start);
}

}  // namespace

int main() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  double growth = 0;
  // Warm up once (first connections, library loading). Then rounds of
  // plain and component back to back: the machine is shared, so each
  // round's ratio compares runs under the same load, and the median of the
  // rounds is reported.
  PlainRun();
  ComponentRun(growth);
  const double mib = 1 << 20;
  auto halves = [&](const char* name) {
    std::printf("  %s: send %.1f MiB/s, receive %.1f MiB/s\n", name,
                static_cast<double>(kVolume) / g_sendSeconds / mib,
                static_cast<double>(kVolume) / g_receiveSeconds / mib);
  };
  constexpr int kRounds = 5;
  std::vector<double> plain, component, ratio;
  for (int round = 0; round < kRounds; ++round) {
    plain.push_back(PlainRun());
    halves("plain");
    component.push_back(ComponentRun(growth));
    halves("component");
    ratio.push_back(component.back() / plain.back());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("volume: %lld MiB each way per run, blocks of %d KiB, %d rounds\n",
              static_cast<long long>(kVolume >> 20), kBlock >> 10, kRounds);
  std::printf("plain blocking Winsock loop: %.1f MiB/s (median)\n", median(plain) / mib);
  std::printf("TNetSocket (send chain, events, receive loop): %.1f MiB/s (median)\n",
              median(component) / mib);
  std::printf("memory: working set grew %.1f MiB over the last 3/4 of a send run; peak %.1f MiB\n",
              growth, PeakWorkingSetMiB());
  std::printf("ratio socket-throughput %.3f\n", median(ratio));
  std::fflush(stdout);
  return 0;
}
