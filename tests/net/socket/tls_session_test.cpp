// The record framing around the TLS provider: a scripted provider with
// SSPI's habits (incomplete records, extra bytes behind a handshake record,
// renegotiation, close_notify), fed whole and split at every point. The
// provider itself is checked against real servers in tls_session_win_test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket/ScriptedTlsProvider.h"
#include "net/socket/TlsSession.h"

namespace corvan::net {
namespace {

using test::Data;
using test::Record;
using test::Script;
using test::ScriptedProvider;

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

using test::kServerHandshake;

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
      {"127.0.0.1", "127.0.0.1", false},
      {"*.co.uk", "example.co.uk", false},
      {"*.com.au", "example.com.au", false},
      {"*.example.uk", "www.example.uk", true},
      {"*.a.b", "x.a.b", true},
      {"*.a.b", "x.y.a.b", false},
      {"*x.example.com", "ax.example.com", false},
      {"www.*.example.com", "www.a.example.com", false},
      {"*.*.example.com", "a.b.example.com", false},
      {"caf\xC3\xA9.example.com", "caf\xC3\xA9.example.com", false},
      {"mail*.example.com", "mail1.example.com", false},
      {"", "", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CertificateNameMatches(c.pattern, c.host), c.match) << c.pattern << " " << c.host;
}

// A renegotiation, with the peer's handshake records or with none (the
// provider's step then runs at once), ends with the peer checked again.
TEST(TlsSession, RenegotiationChecksThePeerAgain) {
  for (const bool empty : {false, true}) {
    Fixture f;
    f.session.Start();
    f.Feed(kServerHandshake + Data("a"), 5);
    ASSERT_TRUE(f.session.Open());
    f.session.TakeOutgoing();
    f.script.peerFault = "the server's certificate does not name the host";
    f.script.renegotiateOnEmptyInput = empty;
    f.Feed(Record('R', "") + (empty ? "" : Record('H', "1") + Record('H', "2")), 5);
    EXPECT_EQ(f.session.state(), TlsSession::State::kFailed) << empty;
    EXPECT_EQ(f.ReadAll(), "a");
  }
}

// The names as encoded: a NUL inside stays, the common name counts only
// without alternative names, an IP host only against IP entries.
TEST(TlsSession, CertificateNamesAsEncoded) {
  const auto element = [](char tag, const std::string& value) {
    return std::string(1, tag) + static_cast<char>(value.size()) + value;
  };
  const std::string cut("good.test\0.evil.test", 20);
  CertificateNames read;
  const std::string alt = element('\x30', element('\x82', cut) + element('\x81', "a@b.test") +
                                              element('\x87', std::string("\x7f\0\0\1", 4)));
  ASSERT_TRUE(ReadAltNames(reinterpret_cast<const std::uint8_t*>(alt.data()), alt.size(), read));
  const auto cn = [&](char type, const std::string& text) {
    return element('\x31', element('\x30', element('\x06', "\x55\x04\x03") + element(type, text)));
  };
  const std::string subject = element(
      '\x30', cn('\x13', "first.test") +
                  cn('\x1E', std::string("\0g\0o\0o\0d\0.\0t", 12) + std::string("\0e\0s\0t", 6)));
  ASSERT_TRUE(
      ReadCommonNames(reinterpret_cast<const std::uint8_t*>(subject.data()), subject.size(), read));
  EXPECT_EQ(read.dns, std::vector<std::string>{cut});
  EXPECT_EQ(read.ip, std::vector<std::string>{std::string("\x7f\0\0\1", 4)});
  EXPECT_EQ(read.commonNames, (std::vector<std::string>{"first.test", "good.test"}));
  EXPECT_FALSE(
      ReadAltNames(reinterpret_cast<const std::uint8_t*>(alt.data()), alt.size() - 1, read));

  const auto names = [](std::vector<std::string> dns, std::vector<std::string> ip,
                        std::vector<std::string> common, bool alt) {
    return CertificateNames{std::move(dns), std::move(ip), std::move(common), alt};
  };
  const struct {
    CertificateNames names;
    const char* host;
    bool match;
  } cases[] = {
      {read, "good.test", false},
      {read, "127.0.0.1", true},
      {names({}, {}, {"good.test"}, false), "good.test", true},
      {names({}, {}, {"good.test"}, true), "good.test", false},
      {names({"other.test"}, {}, {"good.test"}, true), "good.test", false},
      {names({"127.0.0.1"}, {}, {"127.0.0.1"}, true), "127.0.0.1", false},
      {names({}, {}, {"127.0.0.1"}, false), "127.0.0.1", false},
      {names({}, {std::string(15, '\0') + "\1"}, {}, true), "::1", true},
      {names({}, {std::string("\x7f\0\0\1", 4)}, {}, true), "127.0.0.2", false},
      {names({"*.example.com"}, {}, {}, true), "WWW.example.com.", true},
      {names({}, {}, {std::string("good.test\0x", 11)}, false), "good.test", false},
  };
  for (const auto& c : cases) EXPECT_EQ(CertificateNamesHost(c.names, c.host), c.match) << c.host;
}

}  // namespace
}  // namespace corvan::net
