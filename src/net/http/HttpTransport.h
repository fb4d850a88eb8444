#pragma once
// What THttpClient needs from its connection and from the thread it runs
// on. In the program the connection is a TNetSocket and the environment the
// component's hidden window with the application's message loop; tests
// stand in for both. Portable.
#include <cstddef>
#include <string>

namespace corvan::http {

// The control connection. Completion is reported back through the client's
// Handle... methods, from the message loop, never from inside a call.
class IHttpTransport {
 public:
  virtual ~IHttpTransport() = default;
  virtual bool IsConnected() const = 0;
  virtual bool IsClosed() const = 0;
  // Starts a lookup; may throw. Completion: HandleLookupDone.
  virtual void DnsLookup(const std::string& host) = 0;
  virtual void CancelDnsLookup() = 0;
  virtual std::string DnsResult() const = 0;
  // Starts a connect; may throw (LastError then tells why). Completion:
  // HandleSessionConnected.
  virtual void Connect(const std::string& address, const std::string& port,
                       const std::string& localAddress) = 0;
  // The next Connect runs TLS for host before it reports the connection
  // (an empty host: none). False when this transport has no TLS; then the
  // request must not go out at all.
  virtual bool SetSecure(const std::string& host) { return host.empty(); }
  // Starts TLS for host over the open connection (a proxy's tunnel); false
  // when this transport has no TLS. Completion: HandleSessionConnected.
  virtual bool StartTls(const std::string& /*host*/) { return false; }
  // Whether the peer ended the connection cleanly: over TLS, with its
  // close_notify (without it, a body read until the close may be cut).
  virtual bool ClosedCleanly() const { return true; }
  virtual int LastError() const = 0;
  // Reads at most size bytes of what has arrived; <= 0 when nothing.
  virtual int Receive(void* buffer, int size) = 0;
  // Queues bytes and starts sending; HandleDataSent follows when all left.
  virtual void Send(const void* data, std::size_t size) = 0;
  virtual void Close() = 0;
  // Closes once queued data is sent; HandleSessionClosed follows.
  virtual void CloseDelayed() = 0;
  virtual void Abort() = 0;
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  // Off: one HandleDataAvailable per arrival instead of a loop draining it.
  virtual void SetReceiveLoop(bool enabled) = 0;
  // The connection's events are pumped by the waiting thread itself.
  virtual void SetMultiThreaded(bool value) = 0;
  // English description of a socket error code.
  virtual std::string ErrorDescription(int error) const = 0;
  // This machine's name; empty when it cannot be had.
  virtual std::string LocalHostName() const = 0;
};

// The owner thread: deferred messages, the wait of a synchronous request,
// and the bandwidth timer.
class IHttpEnvironment {
 public:
  virtual ~IHttpEnvironment() = default;
  // Delivers HandleMessage(message) from the message loop, later.
  virtual void Post(int message) = 0;
  // Waits (at most about a second) for input, then processes messages.
  virtual void WaitAndProcessMessages() = 0;
  virtual bool Terminated() const = 0;
  // Calls BandwidthTick every interval ms until stopped.
  virtual void StartTimer(unsigned intervalMs) = 0;
  virtual void StopTimer() = 0;
  // Calls WatchdogTick every intervalMs until stopped.
  virtual void StartWatchdog(unsigned intervalMs) = 0;
  virtual void StopWatchdog() = 0;
};

}  // namespace corvan::http
