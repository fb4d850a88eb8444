#pragma once
// The HTTP client as a Windows component: THttpClient driven by its own
// TNetSocket and a hidden window on the creating thread. This is what the
// program uses; the protocol logic is all in THttpClient.
#include <windows.h>

#include <functional>
#include <memory>

#include "net/http/HttpClient.h"
#include "net/socket/NetSocket.h"
#include "net/socket/TlsSession.h"

namespace corvan::http {

// The client's SOCKS proxy settings, copied to the control socket before
// each connect. An empty SocksServer connects directly; an empty SocksLevel
// leaves the socket's level ("5").
struct THttpSocksSettings {
  std::string SocksServer, SocksLevel, SocksPort, SocksUsercode, SocksPassword;
  net::TSocksAuthentication SocksAuthentication = net::socksNoAuthentication;
};

// The control socket seen as the client's connection.
class TSocketTransport : public IHttpTransport {
 public:
  TSocketTransport(net::TNetSocket& socket, const THttpSocksSettings& socks)
      : socket_(socket), socks_(socks) {}
  // Routes the socket's events to the client.
  void Bind(THttpClient& client);

  bool IsConnected() const override;
  bool IsClosed() const override;
  void DnsLookup(const std::string& host) override { socket_.DnsLookup(host); }
  void CancelDnsLookup() override { socket_.CancelDnsLookup(); }
  std::string DnsResult() const override { return socket_.DnsResult(); }
  void Connect(const std::string& address, const std::string& port,
               const std::string& localAddress) override;
  bool SetSecure(const std::string& host) override;
  bool StartTls(const std::string& host) override;
  bool ClosedCleanly() const override;
  int LastError() const override { return socket_.LastError(); }
  int Receive(void* buffer, int size) override;
  void Send(const void* data, std::size_t size) override;
  void Close() override;
  void CloseDelayed() override { socket_.CloseDelayed(); }
  void Abort() override;
  void Pause() override { socket_.Pause(); }
  void Resume() override { socket_.Resume(); }
  void SetReceiveLoop(bool enabled) override;
  void SetMultiThreaded(bool value) override { socket_.SetMultiThreaded(value); }
  std::string ErrorDescription(int error) const override;
  std::string LocalHostName() const override;

 private:
  // The error code of a failed TLS handshake; ErrorDescription says why.
  static constexpr int kTlsFailed = 0x7F000001;

  // TLS over the socket: the handshake runs between the socket's connect
  // and the client's; what arrives is decrypted before the client reads it.
  void TlsConnected(THttpClient& client, int error);
  void TlsDataAvailable(THttpClient& client, int error);
  bool FlushTls();

  net::TNetSocket& socket_;
  const THttpSocksSettings& socks_;
  // Close and Abort called by the client report nothing back: the client
  // ends the request itself in those paths.
  bool closingQuietly_ = false;
  std::string tlsHost_;                   // of the next Connect; empty: none
  std::unique_ptr<net::TlsSession> tls_;  // of the current connection
  THttpClient* client_ = nullptr;
};

// The owner thread: a hidden window for the client's deferred messages and
// its bandwidth timer, and the wait loop of a synchronous request.
class THttpWindowEnvironment : public IHttpEnvironment {
 public:
  THttpWindowEnvironment();
  ~THttpWindowEnvironment() override;
  THttpWindowEnvironment(const THttpWindowEnvironment&) = delete;
  THttpWindowEnvironment& operator=(const THttpWindowEnvironment&) = delete;

  void Bind(THttpClient& client, net::TNetSocket& socket) {
    client_ = &client;
    socket_ = &socket;
  }
  // How the application processes its messages and tells that it ends;
  // without them the thread's messages are dispatched directly.
  std::function<void()> ProcessMessages;
  std::function<bool()> ApplicationTerminated;

  void Post(int message) override;
  void WaitAndProcessMessages() override;
  bool Terminated() const override;
  void StartTimer(unsigned intervalMs) override;
  void StopTimer() override;
  void StartWatchdog(unsigned intervalMs) override;
  void StopWatchdog() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;
  HWND window_ = nullptr;
  THttpClient* client_ = nullptr;
  net::TNetSocket* socket_ = nullptr;
  bool quit_ = false;
};

// Holds the socket and the environment ahead of the client (they must
// exist when THttpClient is constructed with references to them).
struct THttpClientConnection : THttpSocksSettings {
  net::TNetSocket socket;
  TSocketTransport transport{socket, *this};
  THttpWindowEnvironment environment;
};

class TNetHttpClient : private THttpClientConnection, public THttpClient {
 public:
  TNetHttpClient();
  net::TNetSocket& CtrlSocket() { return socket; }
  using THttpSocksSettings::SocksAuthentication;
  using THttpSocksSettings::SocksLevel;
  using THttpSocksSettings::SocksPassword;
  using THttpSocksSettings::SocksPort;
  using THttpSocksSettings::SocksServer;
  using THttpSocksSettings::SocksUsercode;
  // Diagnostic lines of the control socket (not owned).
  void SetNetLogger(const std::shared_ptr<net::TNetLogger>& logger) { socket.SetNetLogger(logger); }
  // Forwarded from the control socket.
  net::TSessionEvent OnSocksConnected;
  net::TSocksErrorEvent OnSocksError;
  THttpWindowEnvironment& Environment() { return environment; }
};

}  // namespace corvan::http
