#pragma once
// Types of the socket layer that carry no Windows headers: the published
// enumerations, the exception class and the Windows Sockets error numbers the
// layer acts on.
#include <stdexcept>
#include <string>

namespace corvan::net {

// Published enumerations: names and order are part of the interface.
enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};

enum TNetSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

// A set of TNetSocketOption values, one bit per option.
class TNetSocketOptions {
 public:
  TNetSocketOptions() = default;
  TNetSocketOptions(std::initializer_list<TNetSocketOption> options) {
    for (auto o : options) bits_ |= Bit(o);
  }
  bool Contains(TNetSocketOption o) const { return (bits_ & Bit(o)) != 0; }
  TNetSocketOptions With(TNetSocketOption o) const { return FromBits(bits_ | Bit(o)); }
  TNetSocketOptions Without(TNetSocketOption o) const { return FromBits(bits_ & ~Bit(o)); }
  bool operator==(const TNetSocketOptions&) const = default;

 private:
  static unsigned Bit(TNetSocketOption o) { return 1u << static_cast<unsigned>(o); }
  static TNetSocketOptions FromBits(unsigned bits) {
    TNetSocketOptions s;
    s.bits_ = bits;
    return s;
  }
  unsigned bits_ = 0;
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

// Raised by the socket layer; carries only a message.
class ESocketException : public std::runtime_error {
 public:
  explicit ESocketException(const std::string& message) : std::runtime_error(message) {}
};

// Windows Sockets error numbers the layer tests for (same values as
// winsock's WSAE* constants, usable without its headers).
namespace wsa {
constexpr int kEINTR = 10004;
constexpr int kEINVAL = 10022;
constexpr int kEWOULDBLOCK = 10035;
constexpr int kENOTSOCK = 10038;
constexpr int kECONNABORTED = 10053;
constexpr int kECONNRESET = 10054;
constexpr int kENOTCONN = 10057;
constexpr int kNOTINITIALISED = 10093;
}  // namespace wsa

// Name of a state for logs and test messages ("wsConnected", ...).
const char* SocketStateName(TSocketState state);

}  // namespace corvan::net
