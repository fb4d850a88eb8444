#pragma once
// What the delivery transports need from the system, as interfaces: a
// blocking TCP connection, UDP exchanges with DNS servers, the attachment
// files and the progress window. The Windows build implements them over
// Windows Sockets and the progress window; tests over their own doubles or
// the C library.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/TlsSession.h"

#ifdef _WIN32
#include "crash/core/ReportFrontEnd.h"
#endif

namespace corvan::crash {

// Limits of a blocking connection: one send of a piece, and the whole TLS
// handshake.
inline constexpr int kSendTimeoutMs = 60 * 1000;
inline constexpr int kTlsHandshakeTimeoutMs = 60 * 1000;

// One blocking TCP connection.
class BlockingConnection {
 public:
  virtual ~BlockingConnection() = default;
  // Sends every byte; false on an error.
  virtual bool Send(const void* data, std::size_t size) = 0;
  // Waits at most timeoutMs for data and receives up to size bytes: the
  // number received, 0 when the peer closed, -1 on time-out or error.
  virtual long Receive(void* buffer, std::size_t size, int timeoutMs) = 0;
};

// The TLS handshake over plain, then a connection whose Send and Receive
// carry text through the session: null when the handshake fails or takes
// longer than timeoutMs, with failure saying why. plain is gone either way,
// so nothing can go on in clear text.
std::unique_ptr<BlockingConnection> StartTls(std::unique_ptr<BlockingConnection> plain,
                                             std::unique_ptr<net::TlsProvider> provider,
                                             int timeoutMs, std::string& failure);

// The progress window as the transports drive it (see ProgressAreas.h).
class DeliveryProgress {
 public:
  virtual void ClearAreas() = 0;
  virtual void AddArea(const std::string& text, std::uint64_t weight) = 0;
  virtual void AreaDone() = 0;
  virtual void SetPosition(int perMille) = 0;
  virtual int CurrentArea() = 0;
  virtual void SetCurrentArea(int area) = 0;

 protected:
  ~DeliveryProgress() = default;
};

// Progress nobody sees.
class NoProgress final : public DeliveryProgress {
 public:
  void ClearAreas() override { areas_ = current_ = 0; }
  void AddArea(const std::string&, std::uint64_t) override { ++areas_; }
  void AreaDone() override { ++current_; }
  void SetPosition(int) override {}
  int CurrentArea() override { return current_; }
  void SetCurrentArea(int area) override { current_ = area; }

 private:
  int areas_ = 0, current_ = 0;
};

// Told when a report may reach its server before the send can know it
// did: from the moment the message's end goes out the server may keep it,
// so from then on the report must not count as failed (and be sent again
// at the next start) because the program ended during the wait.
class HandoverWatch {
 public:
  // The message's end is about to go out.
  virtual void Handing() = 0;
  // The server refused that end: it does not have the report.
  virtual void Refused() = 0;

 protected:
  ~HandoverWatch() = default;
};

// The network: TCP connections and DNS exchanges.
class DeliveryNetwork {
 public:
  // A steady clock in milliseconds, for limits that span several receives.
  virtual std::int64_t NowMs();

  // Resolves host (a dotted address or a name), ending one progress area,
  // then connects, ending another; null when either fails.
  virtual std::unique_ptr<BlockingConnection> Connect(const std::string& host, std::uint16_t port,
                                                      DeliveryProgress& progress) = 0;
  // TLS over a connection to host, its certificate checked against the
  // trusted roots and that name (StartTls); without a TLS provider, null.
  virtual std::unique_ptr<BlockingConnection> Secure(std::unique_ptr<BlockingConnection> plain,
                                                     const std::string& host,
                                                     std::string& failure) {
    plain.reset();
    failure = "no secure connection can be made to " + host;
    return nullptr;
  }

  // One UDP socket for DNS queries to port 53.
  class DnsExchange {
   public:
    virtual ~DnsExchange() = default;
    // Sends the query to server (a dotted address or a name) on port 53;
    // false when it cannot be resolved or sent. sentTo: where it went
    // ("a.b.c.d:53").
    virtual bool SendQuery(const std::string& server, const std::vector<std::uint8_t>& query,
                           std::string& sentTo) = 0;
    // The next datagram within timeoutMs and where it came from
    // ("a.b.c.d:port"); false on time-out or error.
    virtual bool Receive(std::vector<std::uint8_t>& reply, std::string& from, int timeoutMs) = 0;
  };
  virtual std::unique_ptr<DnsExchange> OpenDns() = 0;
  // The machine's DNS servers (dotted addresses), in the system's order.
  virtual std::vector<std::string> DnsServers() = 0;

 protected:
  ~DeliveryNetwork() = default;
};

// Attachment files, read from the start in pieces.
class DeliveryFiles {
 public:
  class Reader {
   public:
    virtual ~Reader() = default;
    // Fills up to size bytes: the number read, 0 at the end, -1 on error.
    virtual long Read(void* buffer, std::size_t size) = 0;
  };
  virtual ~DeliveryFiles() = default;
  // The file's size; false when it does not exist or is no file.
  virtual bool Size(const std::string& path, std::uint64_t& size) = 0;
  virtual std::unique_ptr<Reader> Open(const std::string& path) = 0;
};

// Files through the C library (both builds; Windows' C library opens files
// shared for reading and writing).
class StdioDeliveryFiles final : public DeliveryFiles {
 public:
  bool Size(const std::string& path, std::uint64_t& size) override;
  std::unique_ptr<Reader> Open(const std::string& path) override;
};

#ifdef _WIN32
// Blocking Windows Sockets; the caller has started Windows Sockets.
class WinDeliveryNetwork final : public DeliveryNetwork {
 public:
  std::unique_ptr<BlockingConnection> Connect(const std::string& host, std::uint16_t port,
                                              DeliveryProgress& progress) override;
  std::unique_ptr<BlockingConnection> Secure(std::unique_ptr<BlockingConnection> plain,
                                             const std::string& host,
                                             std::string& failure) override;
  std::unique_ptr<DnsExchange> OpenDns() override;
  std::vector<std::string> DnsServers() override;
};

// The machine's DNS servers from GetNetworkParams: the current one first,
// each address once.
std::vector<std::string> FindDnsServers();

// Drives a progress window (none: nothing is shown).
class ProgressWindowDriver final : public DeliveryProgress {
 public:
  explicit ProgressWindowDriver(IProgressAlert* window) : window_(window) {}
  void ClearAreas() override;
  void AddArea(const std::string& text, std::uint64_t weight) override;
  void AreaDone() override;
  void SetPosition(int perMille) override;
  int CurrentArea() override;
  void SetCurrentArea(int area) override;

 private:
  IProgressAlert* window_;  // not owned
  NoProgress none_;
};
#endif

}  // namespace corvan::crash
