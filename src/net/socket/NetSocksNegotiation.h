#pragma once
// The client side of a SOCKS 4, 4A or 5 negotiation as a state machine over
// the proxy's reply bytes. Portable: the socket layer sends what it is told
// and feeds what it reads.
//
// States, moved on by Begin and by the bytes fed in:
//   Idle        nothing started; Begin sends the SOCKS 5 greeting
//               (-> Methods) or the SOCKS 4/4A connect request (-> Connect)
//   Methods     SOCKS 5 method selection reply, 2 bytes: version 5, then
//               method 0 (none) -> connect request sent, Connect;
//               method 2 (user/password) -> credentials sent, Authenticate;
//               any other method fails (20003)
//   Authenticate  user/password reply, 2 bytes: version 1, status 0
//               -> connect request sent, Connect; a non-zero status fails
//               (20015)
//   Connect     the connect reply. SOCKS 4: 8 bytes, version 0, code 90
//               = granted; 91..93 and other codes fail. SOCKS 5: version 5,
//               code 0, reserved byte, address type 1 (IPv4, 10 bytes in
//               all), 3 (name: 7 + its length byte) or 4 (IPv6, 22 bytes),
//               then the bound port -> Granted; codes 1..8 and others fail
//   Granted     the tunnel is up; bytes behind the reply are the peer's
//               data and are left to the caller (not consumed)
//   Failed      a version byte, code or address type the client cannot
//               accept; Error() and Message() tell which
//
// Each reply is collected from its own first byte (the fill count starts
// over after every reply). ReadSize() is exactly the count of bytes still
// missing of the current reply as far as it is known, so a caller that
// reads no more than that never takes the peer's data out of the socket.
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvan::net {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

// Error codes of a failed negotiation (delivered through OnSocksError).
namespace socks {
constexpr int kLogicError = 20001;
constexpr int kVersionError = 20002;
constexpr int kMethodNotAcceptable = 20003;
constexpr int kAddressTypeNotSupported = 20011;
constexpr int kUnassigned = 20012;
constexpr int kAuthenticationFailed = 20015;
constexpr int kRequestRejected = 20016;
constexpr int kResolveFailed = 20017;
}  // namespace socks

// What the negotiation asks the proxy for.
struct TSocksRequest {
  enum Level { Socks4, Socks4A, Socks5 };
  Level level = Socks5;
  std::string host;           // destination name (4A, 5)
  std::uint32_t address = 0;  // destination IPv4, network order (4)
  std::uint16_t port = 0;     // destination port, host order
  std::string usercode, password;
  bool authenticate = false;  // offer user/password (5)
};

// The outcome of Begin or of one Feed.
struct TSocksStep {
  enum Kind {
    NeedMore,  // the current reply is incomplete
    Send,      // send `bytes` to the proxy (after announcing authState)
    Granted,   // the tunnel is up
    Failed     // error and message say why
  };
  Kind kind = NeedMore;
  std::string bytes;
  bool hasAuthState = false;  // announce authState before sending
  TSocksAuthState authState = socksAuthStart;
  std::size_t consumed = 0;  // bytes of the input that belonged to replies
  int error = 0;
  std::string message;
};

class TSocksNegotiation {
 public:
  enum class State { Idle, Methods, Authenticate, Connect, Granted, Failed };

  // Starts a negotiation (any earlier one is forgotten). Fails when the
  // request cannot be expressed (a name or credential over 255 bytes).
  TSocksStep Begin(const TSocksRequest& request);
  // Consumes reply bytes up to the end of the current reply and returns
  // what to do next. Call again with the rest of the input after Send.
  TSocksStep Feed(const std::uint8_t* data, std::size_t size);
  void Reset();

  State state() const { return state_; }
  // The state a failed negotiation was in when it failed.
  State failedIn() const { return failedIn_; }
  // Bytes the next read should ask for (0 when no reply is expected).
  std::size_t ReadSize() const;
  // The address and port the proxy bound for the tunnel (SOCKS 5).
  const std::string& BoundAddr() const { return boundAddr_; }
  const std::string& BoundPort() const { return boundPort_; }

  // Longest SOCKS 5 reply: header, a name of 255 bytes, port.
  static constexpr std::size_t kMaxReply = 4 + 1 + 255 + 2;

 private:
  TSocksStep Fail(int error, std::string message);
  TSocksStep ConnectRequest();
  TSocksStep OnMethods();
  TSocksStep OnAuthenticate();
  TSocksStep OnSocks4Reply();
  TSocksStep OnSocks5Reply();
  // Total length of the current reply as known from the bytes so far.
  std::size_t ExpectedLength() const;

  TSocksRequest request_;
  State state_ = State::Idle;
  State failedIn_ = State::Idle;
  std::uint8_t reply_[kMaxReply] = {};
  std::size_t fill_ = 0;
  std::string boundAddr_, boundPort_;
  int error_ = 0;
  std::string message_;
};

// Texts of the SOCKS 5 reply codes 1..8 ("general SOCKS server failure",
// ...); "unassigned error #" + code otherwise.
std::string Socks5ReplyText(int code);

}  // namespace corvan::net
