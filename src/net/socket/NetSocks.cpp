// SOCKS layer of the socket component: connects to the proxy and runs the
// negotiation (NetSocksNegotiation) before the caller sees the connection.
#include "net/socket/NetAddress.h"
#include "net/socket/NetSocket.h"
#include "net/socket/NetSocketInternal.h"

namespace corvan::net {

using detail::Fire;

namespace {

constexpr char kProxyClosed[] = "socks server closed the connection";

}  // namespace

void TCustomSocksNetSocket::SetSocksServer(const std::string& value) {
  if (State() != wsClosed) {
    RaiseSocketError("Can't change socks server if not closed");
    return;
  }
  socksServer_ = TrimText(value);
}

void TCustomSocksNetSocket::SetSocksPort(const std::string& value) {
  if (State() != wsClosed) {
    RaiseSocketError("Can't change socks port if not closed");
    return;
  }
  socksPort_ = TrimText(value);
}

void TCustomSocksNetSocket::SetSocksLevel(const std::string& value) {
  if (State() != wsClosed) {
    RaiseSocketError("Can't change socks level if not closed");
    return;
  }
  const std::string level = LowerText(value);
  if (level != "4" && level != "5" && level != "4a") {
    RaiseSocketError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socksLevel_ = level == "4a" ? "4A" : level;
}

void TCustomSocksNetSocket::ResetToDefaults() {
  TCustomNetSocket::ResetToDefaults();
  negotiating_ = false;
}

void TCustomSocksNetSocket::Listen() {
  if (!socksServer_.empty()) {
    RaiseSocketError("Listening is not supported thru socks server");
    return;
  }
  TCustomNetSocket::Listen();
}

void TCustomSocksNetSocket::Connect() {
  negotiating_ = false;
  if (socksServer_.empty()) {
    TCustomNetSocket::Connect();
    return;
  }
  if (!CheckConnectSettings()) return;
  const std::string proto = LowerText(TrimText(Proto()));
  if (proto != "tcp" && proto != "6") {
    RaiseSocketError("tcp is the only protocol supported thru socks server");
    return;
  }
  try {
    const int proxyPort = NetSocketResolvePort(socksPort_, "tcp");
    SetResolvedRemote(NetSocketResolveHost(socksServer_), proxyPort);
    NetSocketResolvePort(Port(), "tcp");  // the destination port must be valid
  } catch (const ESocketException& error) {
    RaiseSocketError(std::string("connect: ") + error.what());
    return;
  }
  negotiation_.Reset();
  negotiating_ = true;
  try {
    TCustomNetSocket::Connect();
  } catch (...) {
    negotiating_ = false;
    throw;
  }
  if (State() == wsClosed) negotiating_ = false;
}

void TCustomSocksNetSocket::SessionConnectedHook(int error) {
  if (!negotiating_ || negotiation_.state() != TSocksNegotiation::State::Idle) {
    TCustomNetSocket::SessionConnectedHook(error);
    return;
  }
  auto alive = AliveToken();
  TriggerSocksConnected(error);
  if (!*alive) return;
  if (error != 0) {
    negotiating_ = false;
    TCustomNetSocket::SessionConnectedHook(error);
    return;
  }
  StartNegotiation();
}

void TCustomSocksNetSocket::StartNegotiation() {
  TSocksRequest request;
  request.level = socksLevel_ == "5"    ? TSocksRequest::Socks5
                  : socksLevel_ == "4A" ? TSocksRequest::Socks4A
                                        : TSocksRequest::Socks4;
  request.host = Addr();
  request.usercode = SocksUsercode;
  request.password = SocksPassword;
  request.authenticate = SocksAuthentication == socksAuthenticateUsercode;
  try {
    request.port = static_cast<std::uint16_t>(NetSocketResolvePort(Port(), "tcp"));
    // SOCKS 4 carries an address: the name is resolved here, on the client.
    if (request.level == TSocksRequest::Socks4) request.address = NetSocketResolveHost(Addr());
  } catch (const std::exception& error) {
    FailNegotiation(socks::kResolveFailed, std::string("ESocketException ") + error.what());
    return;
  }
  Perform(negotiation_.Begin(request));
}

bool TCustomSocksNetSocket::TriggerDataAvailable(int error) {
  if (!negotiating_) return TCustomNetSocket::TriggerDataAvailable(error);
  ReadProxyReplies(error);
  return true;
}

void TCustomSocksNetSocket::ReadProxyReplies(int error) {
  if (error != 0) {
    FailNegotiation(error, "data receive error");
    return;
  }
  // Reads ask for no more than the current reply still misses: the peer's
  // first data stays in the socket for the ordinary delivery.
  while (negotiating_ && negotiation_.ReadSize() > 0) {
    std::uint8_t reply[TSocksNegotiation::kMaxReply];
    const int wanted = static_cast<int>(negotiation_.ReadSize());
    const int count = TCustomNetSocket::RecvRaw(reply, wanted, 0);
    if (count < 0) {
      const int code = winsock::LastError();
      if (code != wsa::kEWOULDBLOCK) FailNegotiation(code, "data receive error");
      return;
    }
    // A read that returns nothing means the proxy closed: waiting longer
    // would never bring the reply.
    if (count == 0) {
      FailNegotiation(wsa::kECONNABORTED, kProxyClosed);
      return;
    }
    if (!Perform(negotiation_.Feed(reply, static_cast<std::size_t>(count)))) return;
  }
}

bool TCustomSocksNetSocket::Perform(const TSocksStep& step) {
  auto alive = AliveToken();
  switch (step.kind) {
    case TSocksStep::NeedMore:
      return true;
    case TSocksStep::Send:
      if (step.hasAuthState) {
        TriggerSocksAuthState(step.authState);
        if (!*alive || !negotiating_) return false;
      }
      try {
        Send(step.bytes.data(), static_cast<int>(step.bytes.size()));
      } catch (...) {
        // A failed send shows as a close or a receive error of the reply.
      }
      return *alive && negotiating_;
    case TSocksStep::Granted:
      negotiating_ = false;
      TCustomNetSocket::SessionConnectedHook(0);
      return false;
    case TSocksStep::Failed:
      FailNegotiation(step.error, step.message);
      return false;
  }
  return false;
}

void TCustomSocksNetSocket::FailNegotiation(int code, const std::string& message) {
  auto alive = AliveToken();
  using State = TSocksNegotiation::State;
  const bool authenticating =
      negotiation_.state() == State::Authenticate ||
      (negotiation_.state() == State::Failed && negotiation_.failedIn() == State::Authenticate);
  negotiating_ = false;
  if (authenticating) {
    TriggerSocksAuthState(socksAuthFailure);
    if (!*alive) return;
  }
  TriggerSocksError(code, message);
  if (!*alive) return;
  TCustomNetSocket::SessionConnectedHook(code);
  if (!*alive) return;
  CloseInternal(true, code);
}

void TCustomSocksNetSocket::TriggerSessionClosed(int error) {
  if (negotiating_ && negotiation_.state() == TSocksNegotiation::State::Authenticate) {
    negotiating_ = false;
    auto alive = AliveToken();
    TriggerSocksAuthState(socksAuthFailure);
    if (!*alive) return;
  }
  TCustomNetSocket::TriggerSessionClosed(error);
}

void TCustomSocksNetSocket::TriggerSocksConnected(int error) {
  if (!Destroying()) Fire(OnSocksConnected, this, error);
}

void TCustomSocksNetSocket::TriggerSocksError(int error, const std::string& message) {
  if (!Destroying()) Fire(OnSocksError, this, error, message);
}

void TCustomSocksNetSocket::TriggerSocksAuthState(TSocksAuthState state) {
  if (!Destroying()) Fire(OnSocksAuthState, this, state);
}

}  // namespace corvan::net
