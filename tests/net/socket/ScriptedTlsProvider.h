#pragma once
// A TLS provider with SSPI's habits for tests of what runs over it
// (incomplete records, extra bytes behind a handshake record,
// renegotiation, close_notify), on a record format of its own.
#include <string>

#include "net/socket/TlsSession.h"

namespace corvan::net::test {

// Records are a type byte, a length byte and the payload. The server's
// handshake is two 'H' records; 'D' carries text (the payload's bytes + 1),
// 'R' asks for a handshake step, 'C' is close_notify, 'X' is refused.
inline std::string Record(char type, const std::string& payload) {
  return std::string(1, type) + static_cast<char>(payload.size()) + payload;
}
inline std::string Data(std::string text) {
  for (char& c : text) ++c;
  return Record('D', text);
}

struct Script {
  std::string peerFault;  // CheckPeer's answer
  bool refuseHello = false;
  std::size_t maxPayload = 4;
  int handshakeRecords = 0;
  // A renegotiation the provider completes without any record of the peer.
  bool renegotiateOnEmptyInput = false;
};

class ScriptedProvider final : public TlsProvider {
 public:
  explicit ScriptedProvider(Script& script) : s_(script) {}
  Result Handshake(const std::uint8_t* in, std::size_t size, std::string& out,
                   std::size_t& consumed) override {
    consumed = 0;
    if (!in) {
      if (s_.refuseHello) return Fail("no provider");
      out += Record('h', "hello");
      return Result::kContinue;
    }
    if (size == 0 && s_.renegotiateOnEmptyInput) {
      out += Record('h', "again");
      return Result::kDone;
    }
    if (size < 2 || size < 2u + in[1]) return Result::kIncomplete;
    if (in[0] != 'H') return Fail("unexpected record");
    consumed = 2u + in[1];
    out += Record('h', "ack");
    return ++s_.handshakeRecords % 2 == 0 ? Result::kDone : Result::kContinue;
  }
  Result Decrypt(std::uint8_t* in, std::size_t size, std::string& plain,
                 std::size_t& consumed) override {
    consumed = 0;
    if (size < 2 || size < 2u + in[1]) return Result::kIncomplete;
    consumed = 2u + in[1];
    switch (in[0]) {
      case 'D':
        for (std::size_t i = 0; i < in[1]; ++i) plain += static_cast<char>(in[2 + i] - 1);
        return Result::kDone;
      case 'R':
        return Result::kRenegotiate;
      case 'C':
        return Result::kClosed;
      default:
        return Fail("bad record");
    }
  }
  bool Encrypt(const std::uint8_t* data, std::size_t size, std::string& out) override {
    out += Record('d', std::string(reinterpret_cast<const char*>(data), size));
    return true;
  }
  std::size_t MaxPayload() override { return s_.maxPayload; }
  std::string CheckPeer() override { return s_.peerFault; }
  std::string Shutdown() override { return Record('c', ""); }
  std::string Failure() override { return failure_; }

 private:
  Result Fail(std::string why) {
    failure_ = std::move(why);
    return Result::kFailed;
  }
  Script& s_;
  std::string failure_;
};

// The server's whole handshake.
inline const std::string kServerHandshake = Record('H', "cert") + Record('H', "done");

}  // namespace corvan::net::test
