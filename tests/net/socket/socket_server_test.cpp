// Listening, accepting and adopting connections of socat and ncat clients;
// datagrams, multicast and broadcast on loopback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "net/socket/NetSocket.h"

namespace corvan::net {
namespace {

using testing::PumpFor;
using testing::PumpUntil;

// Starts a program of the host (socat, ncat) and lets it run by itself.
void RunHost(std::string command) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &info));
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
}

std::string ReadAll(TCustomNetSocket* s) {
  char buffer[4096];
  const int n = s->Receive(buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void ListenOn(TNetSocket& server, const std::string& proto, const std::string& addr) {
  server.SetProto(proto);
  server.SetAddr(addr);
  server.SetPort("0");
  server.Listen();
}

// A host client connects; the listening component accepts and hands the
// connection to another component, which talks with it.
TEST(SocketServer, AcceptedConnectionIsAdoptedByAnotherComponent) {
  for (const char* client : {"socat", "ncat"}) {
    TNetSocket server, session;
    std::string received;
    bool closed = false;
    session.OnDataAvailable = [&](TCustomNetSocket* s, int) {
      received += ReadAll(s);
      if (received.find('\n') != std::string::npos && s->State() == wsConnected) {
        s->SendStr("answer\n");
        s->CloseDelayed();
      }
    };
    session.OnSessionClosed = [&](TCustomNetSocket*, int) { closed = true; };
    server.OnSessionAvailable = [&](TCustomNetSocket* s, int error) {
      EXPECT_EQ(error, 0);
      session.Dup(s->Accept());
    };
    ListenOn(server, "tcp", "127.0.0.1");
    ASSERT_EQ(server.State(), wsListening);
    const std::string port = server.GetBoundPort();
    ASSERT_NE(port, "0");
    ASSERT_NE(port, "error");
    const std::string command =
        std::string(client) == "socat"
            ? "/usr/bin/socat -T 5 \"SYSTEM:echo hello from socat\" TCP:127.0.0.1:" + port
            : "/usr/bin/ncat --recv-only -i 5 127.0.0.1 " + port;
    RunHost(command);
    if (std::string(client) == "ncat") {
      // ncat only listens: the session greets it.
      ASSERT_TRUE(PumpUntil([&] { return session.State() == wsConnected; }));
      session.SendStr("line\n");
      session.CloseDelayed();
    } else {
      ASSERT_TRUE(PumpUntil([&] { return !received.empty(); }));
      EXPECT_EQ(received, "hello from socat\n");
    }
    EXPECT_TRUE(PumpUntil([&] { return closed; })) << client;
    EXPECT_EQ(server.State(), wsListening);
  }
}

// A second Listen on a listening component is refused, and Close releases
// the port: no socket stays bound until the process ends.
TEST(SocketServer, SecondListenIsRefusedAndCloseReleasesThePort) {
  TNetSocket server, again;
  int errors = 0;
  server.OnError = [&](TCustomNetSocket*) { ++errors; };
  ListenOn(server, "tcp", "127.0.0.1");
  const std::string port = server.GetBoundPort();
  server.Listen();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(server.LastError(), 10022);
  server.Close();
  again.SetProto("tcp");
  again.SetAddr("127.0.0.1");
  again.SetPort(port);
  EXPECT_NO_THROW(again.Listen());
  EXPECT_EQ(again.State(), wsListening);
  // A bind that failed on that port leaves nothing open after Close.
  TNetSocket refused;
  refused.OnError = [&](TCustomNetSocket*) { ++errors; };
  refused.SetProto("tcp");
  refused.SetAddr("127.0.0.1");
  refused.SetPort(port);
  refused.Listen();
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(refused.State(), wsClosed);
  refused.Close();
  again.Close();
  refused.Listen();
  EXPECT_EQ(refused.State(), wsListening) << "a retry after the port came free";
}

TEST(SocketServer, AcceptAndDupRefuseWhatTheyCannotUse) {
  TNetSocket socket;
  try {
    socket.Accept();
    FAIL() << "accept on a closed socket";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10022 in function not a listening socket\r\nInvalid argument");
  }
  int errors = 0;
  socket.OnError = [&](TCustomNetSocket*) { ++errors; };
  EXPECT_EQ(socket.Accept(), INVALID_SOCKET);
  socket.Dup(INVALID_SOCKET);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(socket.LastError(), 10022);
  EXPECT_EQ(socket.State(), wsClosed);
}

TEST(SocketServer, DatagramsFromAHostSender) {
  TNetSocket receiver;
  std::string text, from;
  receiver.OnDataAvailable = [&](TCustomNetSocket* s, int) {
    char buffer[2048];
    sockaddr_in sender{};
    const int n = s->ReceiveFrom(buffer, sizeof buffer, sender);
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    from = ::inet_ntoa(sender.sin_addr);
  };
  ListenOn(receiver, "udp", "127.0.0.1");
  ASSERT_EQ(receiver.State(), wsConnected);
  RunHost("/usr/bin/socat -T 2 \"SYSTEM:echo datagram\" UDP-SENDTO:127.0.0.1:" +
          receiver.GetBoundPort());
  ASSERT_TRUE(PumpUntil([&] { return !text.empty(); }));
  EXPECT_EQ(text, "datagram\n");
  EXPECT_EQ(from, "127.0.0.1");
}

// Multicast through the loopback interface: the receiver joins the group
// on 127.0.0.1, the sender sends through it.
TEST(SocketServer, MulticastOnLoopback) {
  TNetSocket receiver, sender;
  std::string text;
  receiver.OnDataAvailable = [&](TCustomNetSocket* s, int) { text += ReadAll(s); };
  receiver.SetMultiCast(true);
  receiver.SetMultiCastAddrStr("239.255.42.1");
  receiver.SetLocalAddr("127.0.0.1");
  receiver.SetReuseAddr(true);
  ListenOn(receiver, "udp", "0.0.0.0");
  ASSERT_EQ(receiver.State(), wsConnected);

  std::vector<int> sent;
  sender.OnDataSent = [&](TCustomNetSocket*, int e) { sent.push_back(e); };
  sender.SetProto("udp");
  sender.SetAddr("239.255.42.1");
  sender.SetPort(receiver.GetBoundPort());
  sender.SetMultiCast(true);
  sender.SetMultiCastIpTTL(2);
  sender.SetLocalAddr("127.0.0.1");
  sender.Connect();
  ASSERT_EQ(sender.State(), wsConnected);
  sender.SendStr("to the group");
  ASSERT_TRUE(PumpUntil([&] { return !text.empty(); }));
  EXPECT_EQ(text, "to the group");
  EXPECT_FALSE(sent.empty());
}

// The broadcast switch is asked of the system; nothing is sent.
TEST(SocketServer, BroadcastDestinationEnablesBroadcasting) {
  TNetSocket sender;
  sender.SetProto("udp");
  sender.SetAddr("255.255.255.255");
  sender.SetPort("9");
  sender.SetLocalAddr("127.0.0.1");
  sender.Connect();
  ASSERT_EQ(sender.State(), wsConnected);
  testing::StartPlainWinsock();
  BOOL value = FALSE;
  int size = sizeof value;
  ASSERT_EQ(::getsockopt(sender.HSocket(), SOL_SOCKET, SO_BROADCAST,
                         reinterpret_cast<char*>(&value), &size),
            0);
  EXPECT_TRUE(value);
  EXPECT_EQ(sender.GetBoundAddr(), "127.0.0.1");
}

TEST(SocketServer, RawSocketForANamedProtocol) {
  TNetSocket raw;
  int errors = 0;
  raw.OnError = [&](TCustomNetSocket*) { ++errors; };
  ListenOn(raw, "raw_icmp", "127.0.0.1");
  if (errors) GTEST_SKIP() << "raw sockets not allowed here: " << raw.LastError();
  ASSERT_EQ(raw.State(), wsConnected);
  testing::StartPlainWinsock();
  int type = 0, size = sizeof type;
  ASSERT_EQ(::getsockopt(raw.HSocket(), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size),
            0);
  EXPECT_EQ(type, SOCK_RAW);
}

// An attached logger receives the socket's lines; a destroyed one is let go.
TEST(SocketServer, AttachedLoggerGetsTheSocketsLines) {
  auto logger = std::make_shared<TNetLogger>();
  std::vector<std::string> lines;
  logger->SetLogOptions({loDestEvent, loWsockInfo, loWsockDump});
  logger->SetOnNetLogEvent(
      [&](const void*, TLogOption, const std::string& line) { lines.push_back(line); });
  TNetSocket server, client;
  ListenOn(server, "tcp", "127.0.0.1");
  client.SetNetLogger(logger);
  client.SetAddr("127.0.0.1");
  client.SetPort(server.GetBoundPort());
  client.Connect();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "TNetSocket will connect to 127.0.0.1:" + server.GetBoundPort());
  ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
  PumpFor(50);
  bool dumped = false;
  for (const auto& line : lines) dumped |= line.rfind("AsyncSelect CtrlSocket", 0) == 0;
  EXPECT_TRUE(dumped);
  logger.reset();
  EXPECT_EQ(client.NetLogger(), nullptr);
  client.Close();
}

}  // namespace
}  // namespace corvan::net
