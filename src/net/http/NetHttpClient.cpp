#include "net/http/NetHttpClient.h"

#include "net/socket/NetSocketErrors.h"

namespace corvan::http {
namespace {

constexpr char kWindowClass[] = "NetHttpWindowClass";
constexpr UINT_PTR kBandwidthTimer = 1;
constexpr UINT_PTR kWatchdogTimer = 2;
// Input that ends the wait of a synchronous request: keys, mouse buttons,
// sent and posted messages, hot keys.
constexpr DWORD kWakeMask =
    QS_KEY | QS_MOUSEBUTTON | QS_SENDMESSAGE | QS_HOTKEY | QS_ALLPOSTMESSAGE;

}  // namespace

// ------------------------------------------------------------ transport

void TSocketTransport::Bind(THttpClient& client) {
  client_ = &client;
  socket_.OnDnsLookupDone = [&client](net::TCustomNetSocket*, int error) {
    client.HandleLookupDone(error);
  };
  socket_.OnSessionConnected = [this, &client](net::TCustomNetSocket*, int error) {
    if (tls_) {
      TlsConnected(client, error);
      return;
    }
    client.HandleSessionConnected(error);
  };
  socket_.OnDataAvailable = [this, &client](net::TCustomNetSocket*, int error) {
    if (tls_) {
      TlsDataAvailable(client, error);
      return;
    }
    client.HandleDataAvailable(error);
  };
  socket_.OnDataSent = [&client](net::TCustomNetSocket*, int error) {
    client.HandleDataSent(error);
  };
  socket_.OnSessionClosed = [this, &client](net::TCustomNetSocket*, int error) {
    if (!closingQuietly_) client.HandleTransportClosed(error);
  };
  socket_.OnError = [this, &client](net::TCustomNetSocket*) {
    client.HandleSocketError(socket_.LastError());
  };
}

bool TSocketTransport::IsConnected() const { return socket_.State() == net::wsConnected; }

bool TSocketTransport::IsClosed() const { return socket_.State() == net::wsClosed; }

void TSocketTransport::Connect(const std::string& address, const std::string& port,
                               const std::string& localAddress) {
  socket_.SetSocksServer(socks_.SocksServer);
  socket_.SetSocksPort(socks_.SocksPort);
  if (!socks_.SocksLevel.empty()) socket_.SetSocksLevel(socks_.SocksLevel);
  socket_.SocksUsercode = socks_.SocksUsercode;
  socket_.SocksPassword = socks_.SocksPassword;
  socket_.SocksAuthentication = socks_.SocksAuthentication;
  socket_.SetAddr(address);
  socket_.SetPort(port);
  socket_.SetProto("tcp");
  socket_.SetLocalAddr(localAddress);
  tls_.reset();
  if (!tlsHost_.empty()) tls_ = std::make_unique<net::TlsSession>(net::SystemTlsProvider(tlsHost_));
  socket_.Connect();
}

bool TSocketTransport::SetSecure(const std::string& host) {
  tlsHost_ = host;
  return true;
}

bool TSocketTransport::StartTls(const std::string& host) {
  if (!client_ || host.empty() || !IsConnected()) return false;
  tls_ = std::make_unique<net::TlsSession>(net::SystemTlsProvider(host));
  TlsConnected(*client_, 0);
  return true;
}

bool TSocketTransport::ClosedCleanly() const {
  return !tls_ || tls_->state() == net::TlsSession::State::kClosed;
}

void TSocketTransport::Send(const void* data, std::size_t size) {
  if (!tls_) {
    socket_.Send(data, static_cast<int>(size));
    return;
  }
  tls_->Write(data, size);
  FlushTls();
}

int TSocketTransport::Receive(void* buffer, int size) {
  if (!tls_) return socket_.Receive(buffer, size);
  return size > 0 ? static_cast<int>(tls_->Read(buffer, static_cast<std::size_t>(size))) : 0;
}

bool TSocketTransport::FlushTls() {
  if (!tls_->HasOutgoing()) return true;
  const std::string out = tls_->TakeOutgoing();
  socket_.Send(out.data(), static_cast<int>(out.size()));
  return true;
}

void TSocketTransport::TlsConnected(THttpClient& client, int error) {
  if (error != 0) {
    client.HandleSessionConnected(error);
    return;
  }
  tls_->Start();
  if (tls_->state() == net::TlsSession::State::kFailed) {
    client.HandleSessionConnected(kTlsFailed);
    return;
  }
  FlushTls();
}

// Takes in everything that has arrived; the client hears of the connection
// once the handshake is done and of data once there is text to read.
void TSocketTransport::TlsDataAvailable(THttpClient& client, int error) {
  const bool handshaking = tls_->state() == net::TlsSession::State::kHandshake;
  char piece[32 * 1024];
  for (int n; (n = socket_.Receive(piece, sizeof piece)) > 0;) {
    tls_->Feed(piece, static_cast<std::size_t>(n));
  }
  FlushTls();
  if (!handshaking && tls_->state() == net::TlsSession::State::kFailed) {
    // A record that cannot be read ends the connection, never the request's
    // wait.
    Abort();
    client.HandleTransportClosed(kTlsFailed);
    return;
  }
  if (handshaking) {
    if (tls_->Open()) {
      client.HandleSessionConnected(0);
    } else if (tls_->state() == net::TlsSession::State::kFailed) {
      client.HandleSessionConnected(kTlsFailed);
      return;
    } else {
      return;
    }
  }
  if (tls_->Readable() > 0) client.HandleDataAvailable(error);
}

void TSocketTransport::Close() {
  closingQuietly_ = true;
  try {
    socket_.Close();
  } catch (...) {
    closingQuietly_ = false;
    throw;
  }
  closingQuietly_ = false;
}

void TSocketTransport::Abort() {
  closingQuietly_ = true;
  try {
    socket_.Abort();
  } catch (...) {
    closingQuietly_ = false;
    throw;
  }
  closingQuietly_ = false;
}

void TSocketTransport::SetReceiveLoop(bool enabled) {
  const auto options = socket_.ComponentOptions();
  socket_.SetComponentOptions(enabled ? options.Without(net::wsoNoReceiveLoop)
                                      : options.With(net::wsoNoReceiveLoop));
}

std::string TSocketTransport::ErrorDescription(int error) const {
  if (error == kTlsFailed && tls_) return tls_->failure();
  return net::NetSocketErrorDesc(error);
}

std::string TSocketTransport::LocalHostName() const {
  try {
    return net::NetSocketLocalHostName();
  } catch (...) {
    return "";
  }
}

// ---------------------------------------------------------- environment

THttpWindowEnvironment::THttpWindowEnvironment() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA existing;
  if (!GetClassInfoA(instance, kWindowClass, &existing)) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
  }
  window_ = CreateWindowExA(0, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            instance, nullptr);
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

THttpWindowEnvironment::~THttpWindowEnvironment() {
  if (window_) {
    KillTimer(window_, kBandwidthTimer);
    KillTimer(window_, kWatchdogTimer);
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

LRESULT CALLBACK THttpWindowEnvironment::WindowProc(HWND hwnd, UINT msg, WPARAM wParam,
                                                    LPARAM lParam) noexcept {
  auto* self = reinterpret_cast<THttpWindowEnvironment*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self || !self->client_) return DefWindowProcA(hwnd, msg, wParam, lParam);
  try {
    if (msg == WM_TIMER && wParam == kBandwidthTimer) {
      self->client_->BandwidthTick();
      return 0;
    }
    if (msg == WM_TIMER && wParam == kWatchdogTimer) {
      self->client_->WatchdogTick();
      return 0;
    }
    if (msg >= static_cast<UINT>(THttpClient::WM_HTTP_DONE) &&
        msg <= static_cast<UINT>(THttpClient::WM_HTTP_RESTART)) {
      self->client_->HandleMessage(static_cast<int>(msg));
      return 0;
    }
  } catch (...) {
    // An event handler failed; the client has already ended what it could.
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void THttpWindowEnvironment::Post(int message) {
  PostMessageA(window_, static_cast<UINT>(message), 0, 0);
}

void THttpWindowEnvironment::WaitAndProcessMessages() {
  if (client_ && client_->MultiThreaded() && socket_) {
    socket_->PumpMessages();
    Sleep(0);
    return;
  }
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, kWakeMask);
  if (ProcessMessages) {
    ProcessMessages();
    return;
  }
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit_ = true;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

bool THttpWindowEnvironment::Terminated() const {
  if (ApplicationTerminated) return ApplicationTerminated();
  return quit_ || (socket_ && socket_->Terminated());
}

void THttpWindowEnvironment::StartTimer(unsigned intervalMs) {
  SetTimer(window_, kBandwidthTimer, intervalMs, nullptr);
}

void THttpWindowEnvironment::StopTimer() { KillTimer(window_, kBandwidthTimer); }

void THttpWindowEnvironment::StartWatchdog(unsigned intervalMs) {
  SetTimer(window_, kWatchdogTimer, intervalMs, nullptr);
}

void THttpWindowEnvironment::StopWatchdog() { KillTimer(window_, kWatchdogTimer); }

// ---------------------------------------------------------------- client

TNetHttpClient::TNetHttpClient() : THttpClient(transport, environment) {
  transport.Bind(*this);
  environment.Bind(*this, socket);
  socket.OnSocksConnected = [this](net::TCustomNetSocket* sender, int error) {
    if (OnSocksConnected) OnSocksConnected(sender, error);
  };
  socket.OnSocksError = [this](net::TCustomNetSocket* sender, int error,
                               const std::string& message) {
    if (OnSocksError) OnSocksError(sender, error, message);
  };
}

}  // namespace corvan::http
