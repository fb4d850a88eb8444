// The record framing around the TLS provider: a scripted provider with
// SSPI's habits (incomplete records, extra bytes behind a handshake record,
// renegotiation, close_notify), fed whole and split at every point. The
// provider itself is checked against real servers in tls_session_win_test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket/TlsSession.h"

namespace corvan::net {
namespace {

// Records are a type byte, a length byte and the payload. The server's
// handshake is two 'H' records; 'D' carries text (the payload's bytes + 1),
// 'R' asks for a handshake step, 'C' is close_notify, 'X' is refused.
std::string Record(char type, const std::string& payload) {
  return std::string(1, type) + static_cast<char>(payload.size()) + payload;
}
std::string Data(std::string text) {
  for (char& c : text) ++c;
  return Record('D', text);
}

struct Script {
  std::string peerFault;  // CheckPeer's answer
  bool refuseHello = false;
  std::size_t maxPayload = 4;
  int handshakeRecords = 0;
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

struct Fixture {
  Script script;
  TlsSession session{std::make_unique<ScriptedProvider>(script)};

  // Feeds the peer's bytes in pieces of the given size.
  void Feed(const std::string& bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece)
      session.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  std::string ReadAll() {
    std::string text(session.Readable(), '\0');
    text.resize(session.Read(text.data(), text.size()));
    return text;
  }
};

const std::string kServerHandshake = Record('H', "cert") + Record('H', "done");

TEST(TlsSession, HandshakeAndDataSplitAtEveryPoint) {
  const std::string peer = kServerHandshake + Data("hello") + Data("world");
  for (std::size_t piece = 1; piece <= peer.size(); ++piece) {
    Fixture f;
    f.session.Start();
    EXPECT_EQ(f.session.TakeOutgoing(), Record('h', "hello"));
    f.Feed(peer, piece);
    ASSERT_TRUE(f.session.Open()) << piece;
    EXPECT_EQ(f.session.TakeOutgoing(), Record('h', "ack") + Record('h', "ack"));
    EXPECT_EQ(f.ReadAll(), "helloworld") << piece;
  }
}

TEST(TlsSession, WritesRecordsOfTheProvidersSizeOnlyWhenOpen) {
  Fixture f;
  EXPECT_FALSE(f.session.Write("early", 5));
  f.session.Start();
  f.session.TakeOutgoing();
  EXPECT_FALSE(f.session.Write("early", 5));
  f.Feed(kServerHandshake, kServerHandshake.size());
  f.session.TakeOutgoing();
  ASSERT_TRUE(f.session.Write("abcdefghij", 10));
  EXPECT_EQ(f.session.TakeOutgoing(),
            Record('d', "abcd") + Record('d', "efgh") + Record('d', "ij"));
  f.session.Close();
  EXPECT_EQ(f.session.TakeOutgoing(), Record('c', ""));
  EXPECT_EQ(f.session.state(), TlsSession::State::kClosed);
  EXPECT_FALSE(f.session.Write("late", 4));
}

// Every way the channel can fail ends it with the reason and nothing to
// send, so no caller can go on in clear text.
TEST(TlsSession, FailuresEndTheChannelWithTheirReason) {
  struct Case {
    const char* name;
    Script script;
    std::string peer;
    const char* reason;
  };
  Script noProvider, untrusted;
  noProvider.refuseHello = true;
  untrusted.peerFault = "not trusted";
  const Case cases[] = {
      {"provider missing", noProvider, "", "no provider"},
      {"untrusted peer", untrusted, kServerHandshake + Data("x"), "not trusted"},
      {"bad handshake record", Script(), Record('D', "x"), "unexpected record"},
      {"bad data record", Script(), kServerHandshake + Record('X', "x") + Data("y"), "bad record"},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.script = c.script;
    f.session.Start();
    f.Feed(c.peer, 1);
    EXPECT_EQ(f.session.state(), TlsSession::State::kFailed) << c.name;
    EXPECT_EQ(f.session.failure(), c.reason) << c.name;
    EXPECT_FALSE(f.session.HasOutgoing()) << c.name;
    EXPECT_FALSE(f.session.Write("secret", 6)) << c.name;
    EXPECT_EQ(f.session.Readable(), 0u) << c.name;
  }
}

TEST(TlsSession, RenegotiationAndCloseNotify) {
  Fixture f;
  f.session.Start();
  f.session.TakeOutgoing();
  f.Feed(kServerHandshake + Data("a") + Record('R', "") + Record('H', "1") + Record('H', "2") +
             Data("b") + Record('C', "") + Data("after close"),
         3);
  EXPECT_EQ(f.session.state(), TlsSession::State::kClosed);
  EXPECT_EQ(f.ReadAll(), "ab");
}

TEST(TlsSession, CertificateNames) {
  struct Case {
    const char* pattern;
    const char* host;
    bool match;
  };
  const Case cases[] = {
      {"mail.example.com", "mail.example.com", true},
      {"MAIL.Example.com", "mail.example.COM", true},
      {"mail.example.com", "mail.example.com.", true},
      {"mail.example.com", "example.com", false},
      {"*.example.com", "mail.example.com", true},
      {"*.example.com", "a.mail.example.com", false},
      {"*.example.com", "example.com", false},
      {"*.example.com", ".example.com", false},
      {"*.com", "example.com", false},
      {"*.0.0.1", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"mail*.example.com", "mail1.example.com", false},
      {"", "", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CertificateNameMatches(c.pattern, c.host), c.match) << c.pattern << " " << c.host;
}

}  // namespace
}  // namespace corvan::net
