// TLS over a blocking connection (StartTls) with a scripted provider: the
// handshake, text both ways as records, and every way it fails, with
// nothing but handshake records on the wire.
#include <gtest/gtest.h>

#include "crash/deliver/FakeDelivery.h"
#include "net/socket/ScriptedTlsProvider.h"

namespace corvan::crash {
namespace {

using net::test::Data;
using net::test::kServerHandshake;
using net::test::Record;
using net::test::Script;
using net::test::ScriptedProvider;
using test::ScriptedConnection;
using test::ScriptedPeer;

std::unique_ptr<BlockingConnection> Secure(ScriptedPeer& peer, Script& script,
                                           std::string& failure) {
  return StartTls(std::make_unique<ScriptedConnection>(peer),
                  std::make_unique<ScriptedProvider>(script), 1000, failure);
}

TEST(StartTls, TextTravelsAsRecords) {
  ScriptedPeer peer;
  peer.Answer(kServerHandshake + Data("220 ready\r\n") + Data("250 ok\r\n"));
  Script script;
  std::string failure;
  auto tls = Secure(peer, script, failure);
  ASSERT_TRUE(tls) << failure;
  char buffer[64];
  long n = tls->Receive(buffer, sizeof buffer, 1000);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "220 ready\r\n250 ok\r\n");
  ASSERT_TRUE(tls->Send("EHLO x", 6));
  EXPECT_EQ(peer.sent, Record('h', "hello") + Record('h', "ack") + Record('h', "ack") +
                           Record('d', "EHLO") + Record('d', " x"));
  EXPECT_EQ(tls->Receive(buffer, sizeof buffer, 1000), 0);  // the peer closed
}

TEST(StartTls, FailuresLeaveOnlyTheHandshakeOnTheWire) {
  struct Case {
    const char* name;
    std::string peerFault;
    std::string answer;
    bool hang;
    std::string failure;
    std::string sent;
  };
  const Case cases[] = {
      // The handshake's last records are not sent to a peer found untrusted.
      {"untrusted", "not trusted", kServerHandshake, false, "not trusted", Record('h', "hello")},
      {"silent", "", "", true, "the server did not complete the secure connection",
       Record('h', "hello")},
      {"closes", "", Record('H', "cert"), false,
       "the server did not complete the secure connection",
       Record('h', "hello") + Record('h', "ack")},
      {"not a handshake", "", Record('D', "x"), false, "unexpected record", Record('h', "hello")},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer;
    peer.Answer(c.answer);
    peer.hangAtEnd = c.hang;
    Script script;
    script.peerFault = c.peerFault;
    std::string failure;
    EXPECT_FALSE(Secure(peer, script, failure)) << c.name;
    EXPECT_EQ(failure, c.failure) << c.name;
    EXPECT_EQ(peer.sent, c.sent) << c.name;
  }
}

}  // namespace
}  // namespace corvan::crash
