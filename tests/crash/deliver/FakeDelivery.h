#pragma once
// Test doubles of the delivery interfaces: scripted peers that keep every
// byte the client sends, files in memory, progress that keeps its calls.
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crash/deliver/DeliveryIo.h"

namespace corvan::crash::test {

// One peer: its answers are queued in advance and handed out one queued
// piece per Receive, however the client asks; when they run out the peer
// closes (or, with hangAtEnd, lets the wait time out).
struct ScriptedPeer {
  std::string sent;
  std::deque<std::string> answers;
  bool hangAtEnd = false;
  std::size_t failSendAfter = SIZE_MAX;  // a send that reaches this byte fails
  int receiveCalls = 0;
  // From piece delayFrom on, each piece comes this long after it is asked
  // for, on the network's clock; a shorter wait times out (a peer that
  // drips).
  int pieceDelayMs = 0;
  std::size_t delayFrom = 0;
  std::size_t piecesGiven = 0;

  // Queues text in pieces of at most `piece` bytes.
  void Answer(const std::string& text, std::size_t piece = SIZE_MAX) {
    for (std::size_t at = 0; at < text.size(); at += piece)
      answers.push_back(text.substr(at, piece));
  }
};

class ScriptedConnection final : public BlockingConnection {
 public:
  explicit ScriptedConnection(ScriptedPeer& peer, std::int64_t* clock = nullptr)
      : peer_(peer), clock_(clock) {}
  bool Send(const void* data, std::size_t size) override {
    if (peer_.sent.size() + size > peer_.failSendAfter) return false;
    peer_.sent.append(static_cast<const char*>(data), size);
    return true;
  }
  long Receive(void* buffer, std::size_t size, int timeoutMs) override {
    ++peer_.receiveCalls;
    const int delay = peer_.piecesGiven >= peer_.delayFrom ? peer_.pieceDelayMs : 0;
    const bool hang = peer_.answers.empty() ? peer_.hangAtEnd : delay > timeoutMs;
    if (clock_) *clock_ += hang ? timeoutMs : peer_.answers.empty() ? 0 : delay;
    if (hang) return -1;
    if (peer_.answers.empty()) return 0;
    ++peer_.piecesGiven;
    std::string& next = peer_.answers.front();
    const std::size_t n = next.size() < size ? next.size() : size;
    std::memcpy(buffer, next.data(), n);
    next.erase(0, n);
    if (next.empty()) peer_.answers.pop_front();
    return static_cast<long>(n);
  }

 private:
  ScriptedPeer& peer_;
  std::int64_t* clock_;
};

// Peers by host name; a host without a peer refuses. DNS queries are
// answered by `dns` (server, query) -> replies.
class FakeNetwork final : public DeliveryNetwork {
 public:
  std::map<std::string, ScriptedPeer> peers;
  std::vector<std::string> connects;  // "host:port" in order
  std::vector<std::string> dnsServers;
  std::function<std::vector<std::vector<std::uint8_t>>(const std::string&,
                                                       const std::vector<std::uint8_t>&)>
      dns;
  std::vector<std::string> dnsAsked;  // servers queried, in order
  // Datagrams ("address:port", bytes) that arrive before a server's own
  // replies (which come from "server:53").
  std::function<std::vector<std::pair<std::string, std::vector<std::uint8_t>>>(
      const std::string&, const std::vector<std::uint8_t>&)>
      dnsSpoof;
  // TLS: with tls set the plain connection goes on, the peer's record
  // marked "<TLS>" where it began; without, it fails with tlsFailure.
  bool tls = false;
  std::string tlsFailure = "untrusted";
  std::int64_t nowMs = 0;  // advanced by the peers' waits

  std::int64_t NowMs() override { return nowMs; }
  std::unique_ptr<BlockingConnection> Connect(const std::string& host, std::uint16_t port,
                                              DeliveryProgress& progress) override {
    connects.push_back(host + ":" + std::to_string(port));
    const auto it = peers.find(host);
    if (it == peers.end()) return nullptr;
    progress.AreaDone();
    progress.AreaDone();
    return std::make_unique<ScriptedConnection>(it->second, &nowMs);
  }

  class Exchange final : public DnsExchange {
   public:
    explicit Exchange(FakeNetwork& net) : net_(net) {}
    bool SendQuery(const std::string& server, const std::vector<std::uint8_t>& query,
                   std::string& sentTo) override {
      net_.dnsAsked.push_back(server);
      if (!net_.dns) return false;
      sentTo = server + ":53";
      if (net_.dnsSpoof) {
        for (auto& datagram : net_.dnsSpoof(server, query)) pending_.push_back(std::move(datagram));
      }
      for (auto& reply : net_.dns(server, query)) pending_.emplace_back(sentTo, std::move(reply));
      return true;
    }
    bool Receive(std::vector<std::uint8_t>& reply, std::string& from, int) override {
      if (pending_.empty()) return false;
      from = std::move(pending_.front().first);
      reply = std::move(pending_.front().second);
      pending_.pop_front();
      return true;
    }

   private:
    FakeNetwork& net_;
    std::deque<std::pair<std::string, std::vector<std::uint8_t>>> pending_;
  };
  std::unique_ptr<BlockingConnection> Secure(std::unique_ptr<BlockingConnection> plain,
                                             const std::string&, std::string& failure) override {
    if (!tls) {
      failure = tlsFailure;
      return nullptr;
    }
    plain->Send("<TLS>", 5);
    return plain;
  }
  std::unique_ptr<DnsExchange> OpenDns() override { return std::make_unique<Exchange>(*this); }
  std::vector<std::string> DnsServers() override { return dnsServers; }
};

// Files in memory; a file with readFailsAt fails its read there.
class MemoryFiles final : public DeliveryFiles {
 public:
  struct File {
    std::string data;
    std::size_t readFailsAt = SIZE_MAX;
  };
  std::map<std::string, File> files;

  bool Size(const std::string& path, std::uint64_t& size) override {
    const auto it = files.find(path);
    if (it == files.end()) return false;
    size = it->second.data.size();
    return true;
  }
  std::unique_ptr<Reader> Open(const std::string& path) override {
    const auto it = files.find(path);
    if (it == files.end()) return nullptr;
    return std::make_unique<MemoryReader>(it->second);
  }

 private:
  class MemoryReader final : public Reader {
   public:
    explicit MemoryReader(const File& file) : file_(file) {}
    long Read(void* buffer, std::size_t size) override {
      if (at_ >= file_.readFailsAt) return -1;
      std::size_t n = file_.data.size() - at_;
      if (n > size) n = size;
      if (at_ + n > file_.readFailsAt) n = file_.readFailsAt - at_;
      std::memcpy(buffer, file_.data.data() + at_, n);
      at_ += n;
      return static_cast<long>(n);
    }

   private:
    const File& file_;
    std::size_t at_ = 0;
  };
};

// Keeps the areas and follows the current one.
class RecordingProgress final : public DeliveryProgress {
 public:
  std::vector<std::pair<std::string, std::uint64_t>> areas;
  int current = 0;
  int lastPosition = 0;
  void ClearAreas() override {
    areas.clear();
    current = 0;
  }
  void AddArea(const std::string& text, std::uint64_t weight) override {
    areas.emplace_back(text, weight);
  }
  void AreaDone() override { ++current; }
  void SetPosition(int perMille) override { lastPosition = perMille; }
  int CurrentArea() override { return current; }
  void SetCurrentArea(int area) override { current = area; }
};

}  // namespace corvan::crash::test
