// TNetSocket against real loopback peers under Wine. Where Wine's Winsock
// differs from Windows' (see the comments), the tests pin Wine's behaviour.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "net/socket/NetSocket.h"

namespace corvan::net {
namespace {

using testing::PumpFor;
using testing::PumpUntil;
using testing::TLoopbackPeer;

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  std::uint32_t x = 12345;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Records the events of one socket.
struct Recorder {
  std::vector<int> connected, closed, lookups, dataSent;
  int errors = 0;
  std::string received;
  bool readData = true;

  void Attach(TCustomNetSocket& socket) {
    socket.OnSessionConnected = [this](TCustomNetSocket*, int e) { connected.push_back(e); };
    socket.OnSessionClosed = [this](TCustomNetSocket*, int e) { closed.push_back(e); };
    socket.OnDnsLookupDone = [this](TCustomNetSocket*, int e) { lookups.push_back(e); };
    socket.OnDataSent = [this](TCustomNetSocket*, int e) { dataSent.push_back(e); };
    socket.OnDataAvailable = [this](TCustomNetSocket* s, int) {
      if (!readData) return;
      char buffer[65536];
      const int n = s->Receive(buffer, sizeof buffer);
      if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    };
  }
};

class NetSocketTest : public ::testing::Test {
 protected:
  // Connects socket_ to 127.0.0.1:port and waits for the outcome. A new
  // connection is writable at once: its FD_WRITE fires OnDataSent for the
  // empty chain, which passes here so tests see only their own.
  void ConnectTo(int port) {
    socket_.SetAddr("127.0.0.1");
    socket_.SetPort(std::to_string(port));
    socket_.Connect();
    ASSERT_TRUE(PumpUntil([&] { return !events_.connected.empty(); }));
    PumpFor(50);
    events_.dataSent.clear();
  }

  void SetUp() override { events_.Attach(socket_); }

  TNetSocket socket_;
  Recorder events_;
};

// ---- Lookups -------------------------------------------------------------------

TEST_F(NetSocketTest, LiteralAddressIsAnsweredBeforeDnsLookupReturns) {
  socket_.DnsLookup(" 127.0.0.1 ");
  ASSERT_EQ(events_.lookups, std::vector<int>{0});
  EXPECT_EQ(socket_.DnsResult(), "127.0.0.1");
  EXPECT_EQ(socket_.DnsResultList(), std::vector<std::string>{"127.0.0.1"});
}

TEST_F(NetSocketTest, AllOnesAddressGoesThroughTheAsynchronousLookup) {
  socket_.DnsLookup("255.255.255.255");
  EXPECT_TRUE(events_.lookups.empty());
  EXPECT_TRUE(PumpUntil([&] { return !events_.lookups.empty(); }));
  EXPECT_EQ(events_.lookups.size(), 1u);
}

TEST_F(NetSocketTest, NameLookupRepliesFromTheMessageLoop) {
  socket_.DnsLookup("localhost");
  EXPECT_TRUE(events_.lookups.empty());
  ASSERT_TRUE(PumpUntil([&] { return !events_.lookups.empty(); }));
  EXPECT_EQ(events_.lookups, std::vector<int>{0});
  EXPECT_EQ(socket_.DnsResult(), "127.0.0.1");
  PumpFor(200);
  EXPECT_EQ(events_.lookups.size(), 1u);
}

// 127.0.0.1 is named in /etc/hosts: no resolver is asked.
TEST_F(NetSocketTest, ReverseLookupsOfLoopback) {
  socket_.ReverseDnsLookupNow("127.0.0.1");
  ASSERT_EQ(events_.lookups, std::vector<int>{0});
  const std::string name = socket_.DnsResult();
  EXPECT_FALSE(name.empty());
  socket_.ReverseDnsLookup("127.0.0.1");
  EXPECT_EQ(events_.lookups.size(), 1u);
  ASSERT_TRUE(PumpUntil([&] { return events_.lookups.size() == 2; }));
  EXPECT_EQ(events_.lookups[1], 0);
  EXPECT_EQ(socket_.DnsResult(), name);
  EXPECT_EQ(socket_.DnsResultList().front(), name);
}

TEST_F(NetSocketTest, EmptyHostIsAnError) {
  EXPECT_THROW(socket_.DnsLookup(""), ESocketException);
  int errors = 0;
  socket_.OnError = [&](TCustomNetSocket*) { ++errors; };
  socket_.DnsLookup("");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(events_.lookups, std::vector<int>{10022});
}

// Wine's WSACancelAsyncRequest reports success and the reply still comes
// (and writes the result buffer): the cancel fires 10004 once, and the late
// reply is swallowed without touching freed memory.
TEST_F(NetSocketTest, CancelledLookupEndsOnceWithInterrupted) {
  socket_.DnsLookup("localhost");
  socket_.CancelDnsLookup();
  EXPECT_EQ(events_.lookups, std::vector<int>{10004});
  PumpFor(500);
  EXPECT_EQ(events_.lookups, std::vector<int>{10004});
  socket_.CancelDnsLookup();  // nothing runs any more
  EXPECT_EQ(events_.lookups.size(), 1u);
}

TEST_F(NetSocketTest, NewLookupReplacesARunningOne) {
  socket_.DnsLookup("localhost");
  socket_.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return !events_.lookups.empty(); }));
  PumpFor(300);
  EXPECT_EQ(events_.lookups, std::vector<int>{0});
}

TEST(NetSocketLifetime, DestroyingDuringLookupsIsSafe) {
  for (int i = 0; i < 20; ++i) {
    auto socket = std::make_unique<TNetSocket>();
    socket->OnDnsLookupDone = [](TCustomNetSocket*, int) { FAIL() << "event after destroy"; };
    socket->DnsLookup("localhost");
    socket.reset();
  }
  // The abandoned requests keep the library until their replies are in.
  EXPECT_GE(winsock::UserCount(), 1);
  EXPECT_TRUE(PumpUntil([] { return winsock::UserCount() == 0; }));
  EXPECT_FALSE(winsock::IsLoaded());
}

TEST(NetSocketLifetime, LibraryIsLoadedOnUseAndUnloadedWithTheLastSocket) {
  ASSERT_TRUE(PumpUntil([] { return winsock::UserCount() == 0; }));  // earlier tests' lookups
  {
    TNetSocket a;
    EXPECT_FALSE(winsock::IsLoaded());  // nothing called yet
    a.DnsLookup("127.0.0.1");
    EXPECT_TRUE(winsock::IsLoaded());
    {
      TNetSocket b;
      char className[64] = {};
      GetClassNameA(b.Handle(), className, sizeof className);
      EXPECT_STREQ(className, "NetSocketWindowClass");
    }
    EXPECT_TRUE(winsock::IsLoaded());
  }
  EXPECT_FALSE(winsock::IsLoaded());
  TNetSocket again;
  again.DnsLookup("127.0.0.1");
  EXPECT_EQ(again.DnsResult(), "127.0.0.1");
}

// ---- Connecting and closing --------------------------------------------------------

TEST_F(NetSocketTest, EchoRoundTripAndOneCloseEvent) {
  TLoopbackPeer peer([](SOCKET s) {
    char buffer[256];
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n > 0) send(s, buffer, n, 0);
    testing::ReadToEnd(s);
  });
  ConnectTo(peer.Port());
  ASSERT_EQ(events_.connected, std::vector<int>{0});
  EXPECT_EQ(socket_.State(), wsConnected);
  EXPECT_EQ(socket_.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(socket_.PeerPort(), peer.PortText());
  EXPECT_EQ(socket_.GetBoundAddr(), "127.0.0.1");
  EXPECT_EQ(socket_.SendStr("hello"), 5);
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 5; }));
  EXPECT_EQ(events_.received, "hello");
  EXPECT_EQ(socket_.ReadCount(), 5);

  socket_.Close();
  EXPECT_EQ(socket_.State(), wsClosed);
  EXPECT_EQ(events_.closed, std::vector<int>{0});
  EXPECT_EQ(socket_.PeerAddr(), "error");
  socket_.Close();  // closing a closed socket does nothing
  PumpFor(200);
  EXPECT_EQ(events_.closed.size(), 1u);
  EXPECT_TRUE(peer.Join());
}

TEST_F(NetSocketTest, AfterCloseAddressAndPortMustBeAssignedAgain) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  socket_.SetProto("6");
  ConnectTo(peer.Port());
  socket_.Close();
  EXPECT_EQ(socket_.Addr(), "127.0.0.1");
  EXPECT_EQ(socket_.Port(), peer.PortText());
  EXPECT_EQ(socket_.Proto(), "tcp");
  try {
    socket_.Connect();
    FAIL() << "connected without a port";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No Port Specified");
  }
  socket_.SetPort(peer.PortText());  // the same text assigns it again
  try {
    socket_.Connect();
    FAIL() << "connected without an address";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No IP Address Specified");
  }
}

TEST_F(NetSocketTest, PortCannotChangeWhileConnected) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  ConnectTo(peer.Port());
  try {
    socket_.SetPort("1");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Cannot change Port if not closed");
  }
  int errors = 0;
  socket_.OnError = [&](TCustomNetSocket*) { ++errors; };
  socket_.SetAddr("127.0.0.2");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(socket_.Port(), peer.PortText());
  EXPECT_EQ(socket_.Addr(), "127.0.0.1");
  socket_.Close();
}

// Wine always reports a refused connect asynchronously (FD_CONNECT with
// the error), never from connect() itself.
TEST_F(NetSocketTest, RefusedConnectReportsTheErrorThenCloses) {
  ConnectTo(testing::UnusedPort());
  EXPECT_EQ(events_.connected, std::vector<int>{10061});
  ASSERT_TRUE(PumpUntil([&] { return socket_.State() == wsClosed; }));
  EXPECT_EQ(events_.closed, std::vector<int>{0});
}

TEST_F(NetSocketTest, StatesOfOneConnection) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  std::vector<TSocketState> states;
  socket_.OnChangeState = [&](TCustomNetSocket*, TSocketState from, TSocketState to) {
    EXPECT_NE(from, to);
    states.push_back(to);
  };
  ConnectTo(peer.Port());
  socket_.Close();
  EXPECT_EQ(states, (std::vector<TSocketState>{wsOpened, wsConnecting, wsConnected, wsClosed}));
}

// A local bind that fails (the port is taken by the peer's listener). With
// SO_REUSEADDR set, Wine reports 10013 (access denied) where Windows may
// say 10048 (in use): either is accepted.
bool IsBindConflict(int code) { return code == 10013 || code == 10048; }

TEST_F(NetSocketTest, FailedBindRaisesWithoutOnError) {
  TLoopbackPeer peer([](SOCKET) {});
  socket_.SetAddr("127.0.0.1");
  socket_.SetPort(peer.PortText());
  socket_.SetLocalAddr("127.0.0.1");
  socket_.SetLocalPort(peer.PortText());
  try {
    socket_.Connect();
    FAIL() << "bind did not fail";
  } catch (const ESocketException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("winsock.bind failed, error #", 0), 0u) << text;
    EXPECT_TRUE(IsBindConflict(socket_.LastError())) << text;
  }
  socket_.Abort();
}

// With OnError bound a failed setup step still ends in OnSessionConnected
// with the error, so a caller waiting for the connect is not left hanging.
TEST_F(NetSocketTest, FailedBindWithOnErrorStillCompletesTheConnect) {
  TLoopbackPeer peer([](SOCKET) {});
  int errors = 0;
  socket_.OnError = [&](TCustomNetSocket*) { ++errors; };
  socket_.SetAddr("127.0.0.1");
  socket_.SetPort(peer.PortText());
  socket_.SetLocalAddr("127.0.0.1");
  socket_.SetLocalPort(peer.PortText());
  socket_.Connect();
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(IsBindConflict(socket_.LastError())) << socket_.LastError();
  ASSERT_TRUE(PumpUntil([&] { return !events_.connected.empty(); }));
  EXPECT_EQ(events_.connected, std::vector<int>{socket_.LastError()});
  ASSERT_TRUE(PumpUntil([&] { return socket_.State() == wsClosed; }));
  EXPECT_EQ(events_.closed.size(), 1u);
}

TEST_F(NetSocketTest, SendWhileConnectingClosesAndRaises) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  socket_.SetAddr("127.0.0.1");
  socket_.SetPort(peer.PortText());
  socket_.Connect();
  ASSERT_EQ(socket_.State(), wsConnecting);
  try {
    socket_.SendStr("x");
    FAIL() << "Send did not raise";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
  }
  EXPECT_EQ(events_.closed, std::vector<int>{10057});
  EXPECT_EQ(socket_.State(), wsClosed);
  PumpFor(200);
  EXPECT_TRUE(events_.connected.empty());
  EXPECT_EQ(events_.closed.size(), 1u);
}

TEST_F(NetSocketTest, SendWhileConnectingWithOnErrorReturnsMinusOne) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  int errors = 0;
  socket_.OnError = [&](TCustomNetSocket*) { ++errors; };
  socket_.SetAddr("127.0.0.1");
  socket_.SetPort(peer.PortText());
  socket_.Connect();
  EXPECT_EQ(socket_.SendStr("x"), -1);
  EXPECT_EQ(socket_.LastError(), 10057);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(events_.closed, std::vector<int>{10057});
}

TEST_F(NetSocketTest, SendAfterCloseFails) {
  EXPECT_THROW(socket_.SendStr("x"), ESocketException);
  EXPECT_TRUE(events_.closed.empty());  // nothing was open
}

TEST_F(NetSocketTest, DataSentComesOnlyFromTheMessageLoop) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  ConnectTo(peer.Port());
  EXPECT_EQ(socket_.SendStr("small"), 5);
  EXPECT_TRUE(events_.dataSent.empty());
  ASSERT_TRUE(PumpUntil([&] { return !events_.dataSent.empty(); }));
  EXPECT_EQ(events_.dataSent, std::vector<int>{0});
  EXPECT_TRUE(socket_.AllSent());
  socket_.Close();
}

// Everything the peer sent before closing arrives before OnSessionClosed.
TEST_F(NetSocketTest, AllDataArrivesBeforeTheCloseEvent) {
  const std::string data = Pattern(300000);
  TLoopbackPeer peer([&](SOCKET s) { testing::SendAll(s, data); });
  std::size_t receivedAtClose = 0;
  socket_.OnSessionClosed = [&](TCustomNetSocket*, int e) {
    events_.closed.push_back(e);
    receivedAtClose = events_.received.size();
  };
  ConnectTo(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return !events_.closed.empty(); }));
  EXPECT_EQ(receivedAtClose, data.size());
  EXPECT_TRUE(events_.received == data);
  PumpFor(200);
  EXPECT_EQ(events_.closed, std::vector<int>{0});
  EXPECT_EQ(socket_.State(), wsClosed);
}

// Under Wine a peer reset arrives as FD_CLOSE with error 0 and recv returns
// 0 (Windows would report 10054): pinned here is one close event, error 0,
// with the data sent before the reset delivered.
TEST_F(NetSocketTest, PeerResetClosesOnce) {
  TLoopbackPeer peer([](SOCKET s) {
    testing::SendAll(s, "before reset");
    Sleep(100);
    testing::ResetConnection(s);
  });
  ConnectTo(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return !events_.closed.empty(); }));
  PumpFor(200);
  EXPECT_EQ(events_.closed, std::vector<int>{0});
  EXPECT_EQ(events_.received, "before reset");
  EXPECT_EQ(socket_.State(), wsClosed);
}

// Under Wine only send reports the reset (10054): a reset met while the
// chain drains closes the socket with exactly one OnSessionClosed (10054).
TEST_F(NetSocketTest, ResetDuringSendClosesOnceWith10054) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE reset = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TLoopbackPeer peer([&](SOCKET s) {
    WaitForSingleObject(go, 5000);
    testing::ResetConnection(s);
    closesocket(s);
    SetEvent(reset);
  });
  ConnectTo(peer.Port());
  SetEvent(go);
  ASSERT_EQ(WaitForSingleObject(reset, 5000), WAIT_OBJECT_0);
  Sleep(100);  // the RST reaches our end; its FD_CLOSE waits in the queue
  const std::string data = Pattern(1 << 20);
  socket_.Send(data.data(), static_cast<int>(data.size()));
  for (int i = 0; i < 10 && socket_.State() != wsClosed; ++i) {
    socket_.Send(data.data(), 1000);
  }
  EXPECT_EQ(events_.closed, std::vector<int>{10054});
  EXPECT_EQ(socket_.State(), wsClosed);
  PumpFor(300);  // the stale FD_CLOSE must not fire a second event
  EXPECT_EQ(events_.closed, std::vector<int>{10054});
  CloseHandle(reset);
  CloseHandle(go);
}

// A handler that does not read must not keep the GUI thread in the loop.
TEST_F(NetSocketTest, HandlerThatDoesNotReadDoesNotHang) {
  TLoopbackPeer peer([](SOCKET s) {
    testing::SendAll(s, Pattern(10000));
    testing::ReadToEnd(s);
  });
  int calls = 0;
  socket_.OnDataAvailable = [&](TCustomNetSocket*, int) { ++calls; };
  ConnectTo(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(300);
  EXPECT_LT(calls, 10);
  EXPECT_GT(socket_.RcvdCount(), 0);
  EXPECT_EQ(socket_.ReceiveStr().size(), 10000u);
  socket_.Close();
}

TEST_F(NetSocketTest, PauseHoldsBackEventsUntilResume) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TLoopbackPeer peer([&](SOCKET s) {
    WaitForSingleObject(go, 5000);
    testing::SendAll(s, "late");
    testing::ReadToEnd(s);
  });
  ConnectTo(peer.Port());
  socket_.Pause();
  SetEvent(go);
  PumpFor(400);
  EXPECT_TRUE(events_.received.empty());
  socket_.Resume();
  EXPECT_TRUE(PumpUntil([&] { return events_.received == "late"; }));
  socket_.Close();
  CloseHandle(go);
}

// socat peers: scripted shells on the host side of the loopback.

// The peer answers and closes at once: the answer arrives, then one close.
TEST_F(NetSocketTest, ScriptedPeerAnswersAndClosesEarly) {
  testing::TSocatPeer peer("printf answer");
  ConnectTo(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return !events_.closed.empty(); }));
  EXPECT_EQ(events_.received, "answer");
  PumpFor(200);
  EXPECT_EQ(events_.closed.size(), 1u);
}

// The peer reads a little and closes while we still send: the component
// ends closed with exactly one OnSessionClosed, whichever way the close is
// noticed first (FD_CLOSE, or a failing send).
TEST_F(NetSocketTest, ScriptedPeerStopsReadingAndClosesWhileWeSend) {
  testing::TSocatPeer peer("head -c 1000 >/dev/null; printf done");
  int errors = 0;
  socket_.OnError = [&](TCustomNetSocket*) { ++errors; };
  ConnectTo(peer.Port());
  const std::string block = Pattern(64 << 10);
  for (int i = 0; i < 200 && socket_.State() == wsConnected; ++i) {
    socket_.Send(block.data(), static_cast<int>(block.size()));
    PumpFor(5);
  }
  ASSERT_TRUE(PumpUntil([&] { return socket_.State() == wsClosed; }, 20000));
  PumpFor(200);
  EXPECT_EQ(events_.closed.size(), 1u);
  EXPECT_EQ(errors, 0);
}

// ---- Sending bulk data ------------------------------------------------------------------

// A reader that starts late makes the network block; the chain keeps the
// rest and resumes on FD_WRITE. The peer checks every byte.
TEST_F(NetSocketTest, LateReaderGetsEveryByteInOrder) {
  const std::string data = Pattern(24 << 20);  // more than the kernel buffers hold
  std::string got;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TLoopbackPeer peer([&](SOCKET s) {
    WaitForSingleObject(go, 10000);
    got = testing::ReadToEnd(s);
  });
  std::int64_t accepted = 0;
  socket_.OnSendData = [&](TCustomNetSocket*, int n) { accepted += n; };
  socket_.SetLingerOnOff(wsLingerNoSet);  // graceful close: the peer reads to the end
  ConnectTo(peer.Port());
  ASSERT_EQ(socket_.Send(data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  EXPECT_GT(socket_.BufferedByteCount(), 0);
  EXPECT_LT(accepted, static_cast<std::int64_t>(data.size()));
  SetEvent(go);
  ASSERT_TRUE(PumpUntil([&] { return !events_.dataSent.empty(); }, 60000));
  EXPECT_EQ(accepted, static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(socket_.BufferedByteCount(), 0);
  socket_.Close();
  ASSERT_TRUE(peer.Join(30000));
  EXPECT_TRUE(got == data);
  CloseHandle(go);
}

// A handler of OnSendData may abort the socket: the chain it drains is
// cleared under it without harm.
TEST_F(NetSocketTest, AbortFromOnSendDataIsSafe) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  int pieces = 0;
  socket_.OnSendData = [&](TCustomNetSocket* s, int) {
    ++pieces;
    s->Abort();
  };
  ConnectTo(peer.Port());
  const std::string data = Pattern(100000);
  socket_.Send(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(pieces, 1);
  EXPECT_EQ(socket_.State(), wsClosed);
  EXPECT_EQ(socket_.BufferedByteCount(), 0);
  EXPECT_EQ(events_.closed, std::vector<int>{0});
  PumpFor(200);
  EXPECT_TRUE(events_.dataSent.empty());
}

TEST_F(NetSocketTest, FlushSendsEverythingBeforeReturning) {
  const std::string data = Pattern(2 << 20);
  std::string got;
  TLoopbackPeer peer([&](SOCKET s) { got = testing::ReadToEnd(s); });
  socket_.SetLingerOnOff(wsLingerNoSet);
  ConnectTo(peer.Port());
  socket_.Send(data.data(), static_cast<int>(data.size()));
  socket_.Flush();
  EXPECT_EQ(socket_.BufferedByteCount(), 0);
  socket_.Close();
  ASSERT_TRUE(peer.Join());
  EXPECT_TRUE(got == data);
}

// ---- Failure paths -------------------------------------------------------------------

// closesocket failing (the handle was closed behind the component's back)
// still leaves the component closed, so a later Send fails loudly.
TEST_F(NetSocketTest, FailedCloseSocketStillEndsClosed) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  ConnectTo(peer.Port());
  testing::StartPlainWinsock();
  ASSERT_EQ(closesocket(socket_.HSocket()), 0);
  try {
    socket_.Close();
    FAIL() << "the failed closesocket was not reported";
  } catch (const ESocketException& e) {
    EXPECT_NE(std::string(e.what()).find("in function Disconnect (closesocket)"),
              std::string::npos);
  }
  EXPECT_EQ(socket_.State(), wsClosed);
  EXPECT_EQ(events_.closed.size(), 1u);
  EXPECT_THROW(socket_.SendStr("lost?"), ESocketException);
}

TEST_F(NetSocketTest, BackgroundExceptionReachesOnBgExceptionAndAborts) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  ConnectTo(peer.Port());
  std::string message;
  socket_.OnBgException = [&](TCustomNetSocket*, const std::exception& e, bool&) {
    message = e.what();
  };
  PostMessageA(socket_.Handle(), WM_SOCKET_TEST_EXCEPTION, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !message.empty(); }));
  EXPECT_EQ(message, "Test exception in NetSocket");
  EXPECT_EQ(socket_.State(), wsClosed);  // can-close stayed true: aborted
}

TEST_F(NetSocketTest, ThrowingBgHandlerIsSwallowedAndMayKeepTheConnection) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  ConnectTo(peer.Port());
  int calls = 0;
  socket_.OnBgException = [&](TCustomNetSocket*, const std::exception&, bool& canClose) {
    ++calls;
    canClose = false;
    throw 42;  // even a throwing handler does not unwind into Windows
  };
  PostMessageA(socket_.Handle(), WM_SOCKET_TEST_EXCEPTION, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
  EXPECT_EQ(socket_.State(), wsConnected);
  socket_.Close();
}

TEST_F(NetSocketTest, ExceptionsFromEventHandlersNeverReachWindows) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  socket_.OnSessionConnected = [&](TCustomNetSocket*, int e) {
    events_.connected.push_back(e);
    throw std::runtime_error("handler failed");
  };
  ConnectTo(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return socket_.State() == wsClosed; }));
}

// CloseDelayed called inside an event closes after the handler returned.
TEST_F(NetSocketTest, CloseDelayedClosesFromTheMessageLoop) {
  TLoopbackPeer peer([](SOCKET s) {
    testing::SendAll(s, "ping");
    testing::ReadToEnd(s);
  });
  TSocketState stateAfterCall = wsInvalidState;
  socket_.OnDataAvailable = [&](TCustomNetSocket* s, int) {
    events_.received += s->ReceiveStr();
    s->CloseDelayed();
    stateAfterCall = s->State();
  };
  ConnectTo(peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return !events_.closed.empty(); }));
  EXPECT_EQ(stateAfterCall, wsConnected);
  EXPECT_EQ(events_.received, "ping");
  EXPECT_EQ(socket_.State(), wsClosed);
  EXPECT_EQ(events_.closed, std::vector<int>{0});
}

TEST_F(NetSocketTest, CustomKeepAliveAndNoDelayOptionsConnect) {
  TLoopbackPeer peer([](SOCKET s) { testing::ReadToEnd(s); });
  socket_.SetKeepAliveOnOff(wsKeepAliveOnCustom);
  socket_.SetKeepAliveTime(5000);
  socket_.SetComponentOptions({wsoTcpNoDelay});
  ConnectTo(peer.Port());
  EXPECT_EQ(events_.connected, std::vector<int>{0});
  EXPECT_EQ(socket_.State(), wsConnected);
  socket_.Close();
}

// The window can move away and come back; network events keep flowing.
TEST_F(NetSocketTest, DetachAndAttachKeepTheConnection) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TLoopbackPeer peer([&](SOCKET s) {
    WaitForSingleObject(go, 5000);
    testing::SendAll(s, "after");
    testing::ReadToEnd(s);
  });
  ConnectTo(peer.Port());
  socket_.DetachFromThread();
  EXPECT_EQ(socket_.Handle(), nullptr);
  EXPECT_THROW(socket_.DnsLookup("localhost"), ESocketException);
  socket_.AttachToThread();
  EXPECT_THROW(socket_.AttachToThread(), ESocketException);
  SetEvent(go);
  EXPECT_TRUE(PumpUntil([&] { return events_.received == "after"; }));
  socket_.Close();
  CloseHandle(go);
}

TEST_F(NetSocketTest, PumpMessagesNotesQuitAndLeavesItForTheApplication) {
  PostQuitMessage(3);
  socket_.PumpMessages();
  EXPECT_TRUE(socket_.Terminated());
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(NetSocketTest, WaitUntilReadyTimesOut) {
  bool flag = false;
  socket_.Timeout = 100;
  EXPECT_EQ(socket_.WaitUntilReady(flag), 12001);
  EXPECT_EQ(socket_.Synchronize([&] { flag = true; }, flag), 0);
}

TEST(NetSocketRelease, ReleaseFromOwnEventDestroysLater) {
  TLoopbackPeer peer([](SOCKET s) { testing::SendAll(s, "bye"); });
  auto* socket = new TNetSocket;
  bool closed = false;
  socket->OnSessionClosed = [&](TCustomNetSocket* s, int) {
    closed = true;
    s->Release();
  };
  socket->SetAddr("127.0.0.1");
  socket->SetPort(peer.PortText());
  socket->Connect();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_TRUE(PumpUntil([] { return !winsock::IsLoaded(); }));
}

}  // namespace
}  // namespace corvan::net
