// SOCKS layer of the socket component.
#include "net/socket/NetAddress.h"
#include "net/socket/NetSocket.h"

namespace corvan::net {

// ---- SOCKS layer (pass-through) -----------------------------------------------------

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

void TCustomSocksNetSocket::Connect() {
  if (!socksServer_.empty()) {
    // Never connect directly when a proxy was asked for.
    RaiseSocketError("connect: SOCKS proxy negotiation is not available");
    return;
  }
  TCustomNetSocket::Connect();
}
}  // namespace corvan::net
