#pragma once
// A scripted server and message loop for THttpClient, without sockets:
// every transport call turns into an event that the fake message loop
// delivers later, as the real connection would.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "net/http/HttpClient.h"

namespace corvan::http::testing {

// One answer of the scripted server.
struct Answer {
  std::string bytes;
  std::size_t pieceSize = 0;  // 0: all at once
  bool closeAfter = true;     // the server closes when it has sent it
  int closeError = 0;         // what that close reports (a reset: 10054)
};

class FakeHttpPeer : public IHttpTransport, public IHttpEnvironment {
 public:
  FakeHttpPeer();
  THttpClient client{*this, *this};

  // Answers, one per request header received, in order.
  std::deque<Answer> answers;
  int lookupError = 0;
  // The lookup cannot start: reported through the error event and then as
  // a lookup done with this error, both at once, as the socket does (an
  // empty host name does the same with 10022).
  int lookupStartError = 0;
  int connectError = 0;
  // Connect reports this error through the error event at once, and the
  // connection's own reports of it follow later.
  int connectSocketError = 0;
  bool terminateWhileWaiting = false;
  // TLS: with tls the connection counts as secured for the host given
  // (kept in `secured`); without, SetSecure refuses.
  bool tls = false;
  // Whether a close of the server ends TLS cleanly (with close_notify).
  bool cleanClose = true;
  bool watchdog = false;  // the client's watchdog runs

  // What happened.
  std::vector<std::string> requests;  // each request header as sent
  std::vector<std::string> lookups;
  std::vector<std::string> connects;  // "address:port"
  std::vector<std::string> secured;   // hosts of connections over TLS
  std::vector<std::string> log;       // client events in order

  // Runs queued events until none is left.
  void RunAll();

  // IHttpTransport
  bool IsConnected() const override { return connected_; }
  bool IsClosed() const override { return !connected_ && !connecting_; }
  void DnsLookup(const std::string& host) override;
  void CancelDnsLookup() override {}
  std::string DnsResult() const override { return "127.0.0.1"; }
  void Connect(const std::string& address, const std::string& port,
               const std::string& localAddress) override;
  bool SetSecure(const std::string& host) override {
    if (!host.empty() && tls) secured.push_back(host);
    return host.empty() || tls;
  }
  // TLS through a tunnel: recorded in `secured` as "tunnel:host".
  bool StartTls(const std::string& host) override;
  bool ClosedCleanly() const override { return cleanClose; }
  int LastError() const override { return lastError_; }
  int Receive(void* buffer, int size) override;
  void Send(const void* data, std::size_t size) override;
  void Close() override;
  void CloseDelayed() override;
  void Abort() override { Close(); }
  void Pause() override {}
  void Resume() override {}
  void SetReceiveLoop(bool) override {}
  void SetMultiThreaded(bool) override {}
  std::string ErrorDescription(int error) const override;
  std::string LocalHostName() const override { return "COMPUTER"; }

  // IHttpEnvironment
  void Post(int message) override;
  void WaitAndProcessMessages() override;
  bool Terminated() const override { return terminated_ || stalled_; }
  void StartTimer(unsigned) override {}
  void StopTimer() override {}
  void StartWatchdog(unsigned) override { watchdog = true; }
  void StopWatchdog() override { watchdog = false; }

 private:
  void Queue(std::function<void()> event) {
    stalled_ = false;
    events_.push_back(std::move(event));
  }
  void Deliver(std::string bytes);
  void ServeAnswer();

  std::deque<std::function<void()>> events_;
  std::string incoming_;
  std::string pending_;  // request bytes not yet complete
  bool connected_ = false;
  bool connecting_ = false;
  bool terminated_ = false;
  bool stalled_ = false;  // a wait found nothing left to happen
  int lastError_ = 0;
  int generation_ = 0;  // events of an older connection are dropped
};

}  // namespace corvan::http::testing
