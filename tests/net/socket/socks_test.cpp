// TNetSocket and the HTTP client through real SOCKS proxies on loopback
// (dante, microsocks) and through our scripted proxy's broken replies.
// Peers are started by socks_peers.sh.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "net/http/NetHttpClient.h"
#include "net/http/RequestDeadline.h"
#include "net/socket/NetSocket.h"

namespace corvan::net {
namespace {

using testing::PumpFor;
using testing::PumpUntil;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string SiteFile() {
  std::ifstream in(Env("CORVAN_HTTP_ROOT") + "\\file.bin", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Proxy {
  const char* name;
  const char* portVariable;
  const char* level;
  const char* user;
  const char* password;
};

const Proxy kDante5{"dante 5", "CORVAN_DANTE_PORT", "5", "", ""};
const Proxy kDante5Auth{"dante 5 user/password", "CORVAN_DANTE_AUTH_PORT", "5", "socksuser",
                        "secret"};
const Proxy kMicrosocks{"microsocks 5 user/password", "CORVAN_MICROSOCKS_PORT", "5", "msuser",
                        "mspass"};
const Proxy kDante4{"dante 4", "CORVAN_DANTE_PORT", "4", "", ""};
const Proxy kScripted4A{"scripted 4A", "CORVAN_SCRIPTED_PORT", "4A", "", ""};
const Proxy kProxies[] = {kDante5, kDante5Auth, kMicrosocks, kDante4, kScripted4A};

// One socket with every event recorded.
class SocksClient {
 public:
  explicit SocksClient(const Proxy& proxy, const std::string& port = Env("CORVAN_HTTP_PORT")) {
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(Env(proxy.portVariable));
    socket.SetSocksLevel(proxy.level);
    socket.SocksUsercode = proxy.user;
    socket.SocksPassword = proxy.password;
    if (*proxy.password) socket.SocksAuthentication = socksAuthenticateUsercode;
    socket.SetAddr("127.0.0.1");
    socket.SetPort(port);
    socket.OnSocksConnected = [this](TCustomNetSocket*, int e) { socksConnected.push_back(e); };
    socket.OnSocksAuthState = [this](TCustomNetSocket*, TSocksAuthState s) {
      authStates.push_back(s);
    };
    socket.OnSocksError = [this](TCustomNetSocket*, int e, const std::string& m) {
      socksErrors.push_back(e);
      socksMessage = m;
    };
    socket.OnSessionConnected = [this](TCustomNetSocket*, int e) { connected.push_back(e); };
    socket.OnSessionClosed = [this](TCustomNetSocket*, int e) { closed.push_back(e); };
    socket.OnDataAvailable = [this](TCustomNetSocket* s, int) {
      char buffer[65536];
      const int n = s->Receive(buffer, sizeof buffer);
      if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    };
  }

  // Connects and waits for the end of the connection.
  void RunToClose(const std::string& request = "") {
    socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return !connected.empty(); }));
    if (connected[0] == 0 && !request.empty()) socket.SendStr(request);
    ASSERT_TRUE(PumpUntil([&] { return !closed.empty(); }));
    PumpFor(50);
  }

  TNetSocket socket;
  std::vector<int> socksConnected, socksErrors, connected, closed;
  std::vector<TSocksAuthState> authStates;
  std::string socksMessage, received;
};

std::string BodyOf(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

class Socks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("CORVAN_DANTE_PORT").empty()) << "run through socks_peers.sh";
  }
};

TEST_F(Socks, DownloadThroughEveryProxy) {
  const std::string expected = SiteFile();
  ASSERT_EQ(expected.size(), 300000u);
  for (const Proxy& proxy : kProxies) {
    SocksClient client(proxy);
    client.RunToClose("GET /file.bin HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.socksConnected, std::vector<int>{0}) << proxy.name;
    EXPECT_EQ(client.connected, std::vector<int>{0}) << proxy.name;
    EXPECT_TRUE(client.socksErrors.empty()) << proxy.name << ": " << client.socksMessage;
    EXPECT_TRUE(BodyOf(client.received) == expected) << proxy.name;
    const std::vector<TSocksAuthState> expectedStates =
        *proxy.password ? std::vector<TSocksAuthState>{socksAuthStart, socksAuthSuccess}
                        : std::vector<TSocksAuthState>{};
    EXPECT_EQ(client.authStates, expectedStates) << proxy.name;
  }
}

TEST_F(Socks, Socks5BoundAddressIsReported) {
  SocksClient client(kDante5);
  client.RunToClose("GET /file.bin HTTP/1.0\r\n\r\n");
  EXPECT_EQ(client.socket.SocksBoundAddr(), "127.0.0.1");
  EXPECT_FALSE(client.socket.SocksBoundPort().empty());
}

TEST_F(Socks, WrongPasswordFailsTheConnect) {
  Proxy wrong = kDante5Auth;
  wrong.password = "wrong";
  SocksClient client(wrong);
  client.RunToClose();
  EXPECT_EQ(client.socksErrors, std::vector<int>{20015});
  EXPECT_EQ(client.socksMessage, "socks authentication failed");
  EXPECT_EQ(client.connected, std::vector<int>{20015});
  EXPECT_EQ(client.closed, std::vector<int>{20015});
  EXPECT_EQ(client.authStates, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthFailure}));
  EXPECT_EQ(client.socket.State(), wsClosed);
}

TEST_F(Socks, ProxyThatCannotReachTheDestinationRefuses) {
  SocksClient client(kDante5, std::to_string(testing::UnusedPort()));
  client.RunToClose();
  ASSERT_EQ(client.socksErrors.size(), 1u);
  EXPECT_EQ(client.connected, client.socksErrors);
  EXPECT_EQ(client.socksErrors[0], 20008) << client.socksMessage;
}

TEST_F(Socks, UnreachableProxyFailsTheConnect) {
  Proxy none = kDante5;
  SocksClient client(none);
  client.socket.SetSocksPort(std::to_string(testing::UnusedPort()));
  client.RunToClose();
  EXPECT_EQ(client.socksConnected, std::vector<int>{10061});
  EXPECT_EQ(client.connected, std::vector<int>{10061});
  EXPECT_TRUE(client.socksErrors.empty());
}

// A 255-byte name as bound address, with the peer's first bytes in the
// same segment as the reply: both arrive intact.
TEST_F(Socks, LongestBoundNameAndDataBehindTheReply) {
  SocksClient client(kScripted4A, "1");
  client.socket.SetSocksLevel("5");
  client.RunToClose();
  EXPECT_EQ(client.connected, std::vector<int>{0});
  EXPECT_EQ(client.socket.SocksBoundAddr(), std::string(255, 'n'));
  EXPECT_EQ(client.socket.SocksBoundPort(), "80");
  EXPECT_EQ(client.received, "hello");
}

// The 8-byte SOCKS 4 reply a byte at a time, the peer's data behind it.
TEST_F(Socks, Socks4ReplyByteByByte) {
  SocksClient client(kScripted4A, "2");
  client.RunToClose();
  EXPECT_EQ(client.connected, std::vector<int>{0});
  EXPECT_EQ(client.received, "hello");
}

// A proxy that closes during the negotiation ends it with an error
// instead of leaving the caller waiting.
TEST_F(Socks, ProxyClosingDuringNegotiationFailsOnce) {
  Proxy closing = kScripted4A;
  closing.level = "5";
  closing.user = "close";
  closing.password = "x";
  SocksClient client(closing);
  client.RunToClose();
  EXPECT_EQ(client.socksErrors, std::vector<int>{10053});
  EXPECT_EQ(client.socksMessage, "socks server closed the connection");
  EXPECT_EQ(client.connected, std::vector<int>{10053});
  EXPECT_EQ(client.closed.size(), 1u);
  EXPECT_EQ(client.authStates, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthFailure}));

  SocksClient half(kScripted4A, "3");  // SOCKS 4 reply cut after two bytes
  half.RunToClose();
  EXPECT_EQ(half.socksErrors, std::vector<int>{10053});
  EXPECT_EQ(half.connected, std::vector<int>{10053});
}

TEST_F(Socks, SettingsAreCheckedAndKept) {
  TNetSocket socket;
  EXPECT_THROW(socket.SetSocksLevel("6"), ESocketException);
  EXPECT_EQ(socket.SocksLevel(), "5");
  socket.SetSocksLevel("4a");
  EXPECT_EQ(socket.SocksLevel(), "4A");
  socket.SetSocksServer(" 127.0.0.1 ");
  EXPECT_EQ(socket.SocksServer(), "127.0.0.1");
  socket.SetAddr("0.0.0.0");
  socket.SetPort("0");
  EXPECT_THROW(socket.Listen(), ESocketException);
  socket.SetProto("udp");
  try {
    socket.Connect();
    FAIL() << "udp through a proxy";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
  }
}

// The installer's client with the SOCKS properties set.
TEST_F(Socks, HttpClientDownloadsThroughEveryProxy) {
  const std::string expected = SiteFile();
  for (const Proxy& proxy : kProxies) {
    http::TNetHttpClient client;
    http::TMemoryStream stream;
    client.ReceiveStream = &stream;
    client.SocksServer = "127.0.0.1";
    client.SocksPort = Env(proxy.portVariable);
    client.SocksLevel = proxy.level;
    client.SocksUsercode = proxy.user;
    client.SocksPassword = proxy.password;
    if (*proxy.password) client.SocksAuthentication = socksAuthenticateUsercode;
    int socksConnected = -1;
    client.OnSocksConnected = [&](TCustomNetSocket*, int e) { socksConnected = e; };
    client.URL = "http://127.0.0.1:" + Env("CORVAN_HTTP_PORT") + "/file.bin";
    http::testing::TRequestDeadline deadline(client);
    EXPECT_NO_THROW(client.Get()) << proxy.name;
    EXPECT_EQ(deadline.Expired(), "") << proxy.name;
    EXPECT_EQ(client.StatusCode(), 200) << proxy.name;
    EXPECT_EQ(socksConnected, 0) << proxy.name;
    EXPECT_TRUE(std::string(stream.Bytes().begin(), stream.Bytes().end()) == expected)
        << proxy.name;
  }
}

TEST_F(Socks, HttpClientReportsAProxyFailure) {
  http::TNetHttpClient client;
  http::TMemoryStream stream;
  client.ReceiveStream = &stream;
  client.SocksServer = "127.0.0.1";
  client.SocksPort = Env("CORVAN_DANTE_AUTH_PORT");
  client.SocksUsercode = "socksuser";
  client.SocksPassword = "wrong";
  client.SocksAuthentication = socksAuthenticateUsercode;
  std::vector<int> errors;
  client.OnSocksError = [&](TCustomNetSocket*, int e, const std::string&) { errors.push_back(e); };
  client.URL = "http://127.0.0.1:" + Env("CORVAN_HTTP_PORT") + "/file.bin";
  http::testing::TRequestDeadline deadline(client);
  EXPECT_THROW(client.Get(), http::EHttpException);
  EXPECT_EQ(deadline.Expired(), "");
  EXPECT_EQ(errors, std::vector<int>{20015});
  EXPECT_EQ(stream.Size(), 0);
}

}  // namespace
}  // namespace corvan::net
