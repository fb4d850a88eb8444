// The SOCKS negotiation byte for byte: requests as RFC 1928/1929 and the
// SOCKS 4/4A documents lay them out, replies fed whole and split at every
// point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket/NetSocksNegotiation.h"

namespace corvan::net {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TSocksRequest Request(TSocksRequest::Level level, bool authenticate = false) {
  TSocksRequest r;
  r.level = level;
  r.host = "example.test";
  r.address = 0x0100007F;  // 127.0.0.1 in network order (little-endian host)
  r.port = 8080;
  r.usercode = "user";
  r.password = "secret";
  r.authenticate = authenticate;
  return r;
}

// Feeds text to the machine in pieces of the given size; returns the last
// step and collects every Send.
struct Conversation {
  TSocksNegotiation machine;
  std::vector<std::string> sent;
  std::vector<TSocksAuthState> authStates;
  std::size_t consumed = 0;

  TSocksStep Begin(const TSocksRequest& r) {
    TSocksStep step = machine.Begin(r);
    if (step.kind == TSocksStep::Send) sent.push_back(step.bytes);
    return step;
  }
  TSocksStep Feed(const std::string& text, std::size_t piece) {
    TSocksStep step;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t n = std::min(piece, text.size() - at);
      step = machine.Feed(reinterpret_cast<const std::uint8_t*>(text.data() + at), n);
      at += step.consumed;
      consumed += step.consumed;
      if (step.hasAuthState) authStates.push_back(step.authState);
      if (step.kind == TSocksStep::Send) sent.push_back(step.bytes);
      if (step.kind == TSocksStep::Granted || step.kind == TSocksStep::Failed) break;
    }
    return step;
  }
};

const std::string kSocks5ConnectRequest =
    Bytes({5, 1, 0, 3, 12}) + "example.test" + Bytes({0x1F, 0x90});
const std::string kSocks5Granted = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0x38});

TEST(SocksNegotiation, Socks5WithoutAuthenticationAtEverySplit) {
  for (std::size_t piece = 1; piece <= 12; ++piece) {
    Conversation c;
    c.Begin(Request(TSocksRequest::Socks5));
    const TSocksStep step = c.Feed(Bytes({5, 0}) + kSocks5Granted, piece);
    ASSERT_EQ(step.kind, TSocksStep::Granted) << piece;
    EXPECT_EQ(c.sent, (std::vector<std::string>{Bytes({5, 1, 0}), kSocks5ConnectRequest}));
    EXPECT_TRUE(c.authStates.empty());
    EXPECT_EQ(c.machine.BoundAddr(), "10.1.2.3");
    EXPECT_EQ(c.machine.BoundPort(), "1080");
    EXPECT_EQ(c.machine.ReadSize(), 0u);
  }
}

// The authentication reply is read from its own first byte, also when the
// greeting reply and it come in one piece.
TEST(SocksNegotiation, Socks5UserPasswordAtEverySplit) {
  for (std::size_t piece = 1; piece <= 16; ++piece) {
    Conversation c;
    c.Begin(Request(TSocksRequest::Socks5, true));
    const TSocksStep step = c.Feed(Bytes({5, 2, 1, 0}) + kSocks5Granted, piece);
    ASSERT_EQ(step.kind, TSocksStep::Granted) << piece;
    EXPECT_EQ(c.sent, (std::vector<std::string>{Bytes({5, 1, 2}),
                                                Bytes({1, 4}) + "user" + Bytes({6}) + "secret",
                                                kSocks5ConnectRequest}));
    EXPECT_EQ(c.authStates, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthSuccess}));
  }
}

TEST(SocksNegotiation, Socks5ProxyWithoutAuthenticationAnswersNotRequired) {
  Conversation c;
  c.Begin(Request(TSocksRequest::Socks5, true));
  EXPECT_EQ(c.Feed(Bytes({5, 0}), 2).kind, TSocksStep::Send);
  EXPECT_EQ(c.authStates, std::vector<TSocksAuthState>{socksAuthNotRequired});
}

// The longest bound address, a 255-byte name, fits; the peer's data
// behind the reply is not consumed.
TEST(SocksNegotiation, Socks5NameBoundAddressAndTheDataBehindIt) {
  const std::string name(255, 'n');
  Conversation c;
  c.Begin(Request(TSocksRequest::Socks5));
  c.Feed(Bytes({5, 0}), 2);
  const std::string reply = Bytes({5, 0, 0, 3, 255}) + name + Bytes({0, 80});
  EXPECT_EQ(c.machine.ReadSize(), 5u);
  const TSocksStep step = c.Feed(reply + "HTTP/1.0 200", 1000);
  ASSERT_EQ(step.kind, TSocksStep::Granted);
  EXPECT_EQ(c.consumed, 2 + reply.size());
  EXPECT_EQ(c.machine.BoundAddr(), name);
  EXPECT_EQ(c.machine.BoundPort(), "80");
}

TEST(SocksNegotiation, Socks5IPv6BoundAddress) {
  Conversation c;
  c.Begin(Request(TSocksRequest::Socks5));
  c.Feed(Bytes({5, 0}), 2);
  std::string reply = Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8});
  reply += std::string(11, '\0') + Bytes({1, 0x1F, 0x90});
  ASSERT_EQ(c.Feed(reply, 3).kind, TSocksStep::Granted);
  EXPECT_EQ(c.machine.BoundAddr(), "2001:db8:0:0:0:0:0:1");
  EXPECT_EQ(c.machine.BoundPort(), "8080");
}

TEST(SocksNegotiation, Socks5Failures) {
  struct Case {
    std::string replies;
    int error;
    std::string message;
  } cases[] = {
      {Bytes({4, 0}), 20002, "socks version error"},
      {Bytes({5, 0xFF}), 20003, "authentification method not acceptable"},
      {Bytes({5, 0, 4}), 20002, "socks version error"},
      {Bytes({5, 0, 5, 1}), 20004, "general SOCKS server failure"},
      {Bytes({5, 0, 5, 5}), 20008, "connection refused"},
      {Bytes({5, 0, 5, 8}), 20011, "address type not supported"},
      {Bytes({5, 0, 5, 9}), 20012, "unassigned error #9"},
      {Bytes({5, 0, 5, 0, 0, 7, 0}), 20011, "address type not supported"},
  };
  for (const Case& test : cases) {
    Conversation c;
    c.Begin(Request(TSocksRequest::Socks5));
    const TSocksStep step = c.Feed(test.replies, 1);
    EXPECT_EQ(step.kind, TSocksStep::Failed) << test.message;
    EXPECT_EQ(step.error, test.error) << test.message;
    EXPECT_EQ(step.message, test.message);
    EXPECT_EQ(c.machine.Feed(reinterpret_cast<const std::uint8_t*>("x"), 1).kind,
              TSocksStep::Failed);
  }
}

TEST(SocksNegotiation, Socks5AuthenticationFailures) {
  for (const auto& [reply, error, message] :
       {std::tuple{Bytes({5, 2, 1, 1}), 20015, "socks authentication failed"},
        std::tuple{Bytes({5, 2, 5}), 20002, "socks version error"}}) {
    Conversation c;
    c.Begin(Request(TSocksRequest::Socks5, true));
    const TSocksStep step = c.Feed(reply, 4);
    EXPECT_EQ(step.kind, TSocksStep::Failed);
    EXPECT_EQ(step.error, error);
    EXPECT_EQ(step.message, message);
    EXPECT_EQ(c.machine.state(), TSocksNegotiation::State::Failed);
    EXPECT_EQ(c.machine.failedIn(), TSocksNegotiation::State::Authenticate);
  }
}

// A SOCKS 4 read asks for exactly what is missing of the 8-byte reply.
TEST(SocksNegotiation, Socks4RequestAndExactReads) {
  Conversation c;
  c.Begin(Request(TSocksRequest::Socks4));
  EXPECT_EQ(c.sent.at(0), Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "user" + Bytes({0}));
  EXPECT_EQ(c.machine.ReadSize(), 8u);
  EXPECT_EQ(c.Feed(Bytes({0, 90, 0}), 3).kind, TSocksStep::NeedMore);
  EXPECT_EQ(c.machine.ReadSize(), 5u);
  EXPECT_EQ(c.Feed(Bytes({0, 0, 0, 0, 0}) + "data", 9).kind, TSocksStep::Granted);
  EXPECT_EQ(c.consumed, 8u);
}

TEST(SocksNegotiation, Socks4ARequestCarriesTheName) {
  Conversation c;
  c.Begin(Request(TSocksRequest::Socks4A));
  EXPECT_EQ(c.sent.at(0), Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "user" + Bytes({0}) +
                              "example.test" + Bytes({0}));
}

TEST(SocksNegotiation, Socks4ReplyCodes) {
  struct Case {
    std::string reply;
    int error;
    std::string message;
  } cases[] = {
      {Bytes({0, 91, 0, 0, 0, 0, 0, 0}), 20016, "request rejected or failed"},
      {Bytes({0, 92, 0, 0, 0, 0, 0, 0}), 20008, "connection refused"},
      {Bytes({0, 93, 0, 0, 0, 0, 0, 0}), 20015, "authentification failed"},
      {Bytes({0, 94, 0, 0, 0, 0, 0, 0}), 20012, "unassigned error #94"},
      {Bytes({4, 90, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"},
  };
  for (const Case& test : cases) {
    Conversation c;
    c.Begin(Request(TSocksRequest::Socks4));
    const TSocksStep step = c.Feed(test.reply, 8);
    EXPECT_EQ(step.kind, TSocksStep::Failed);
    EXPECT_EQ(step.error, test.error);
    EXPECT_EQ(step.message, test.message);
  }
}

TEST(SocksNegotiation, RequestsThatCannotBeExpressedFail) {
  TSocksRequest r = Request(TSocksRequest::Socks5);
  r.host = std::string(256, 'h');
  TSocksNegotiation machine;
  EXPECT_EQ(machine.Begin(r).kind, TSocksStep::Failed);
  r.host = std::string(255, 'h');
  EXPECT_EQ(machine.Begin(r).kind, TSocksStep::Send);
}

}  // namespace
}  // namespace corvan::net
