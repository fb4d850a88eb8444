// THttpClient against a scripted peer: request bytes, response parsing,
// bodies, failures and relocation, byte for byte.
#include <gtest/gtest.h>

#include <stdexcept>

#include "FakeHttpPeer.h"

namespace corvan::http::testing {
namespace {

std::string Body(const TMemoryStream& stream) {
  return std::string(stream.Bytes().begin(), stream.Bytes().end());
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer.client.URL = "http://www.example.nl/downloads/Setup_UltraVNC_64.exe";
    peer.client.ReceiveStream = &stream;
  }
  // Runs Get; returns the exception's code, or -1 when none was raised.
  int GetCode() {
    try {
      peer.client.Get();
    } catch (const EHttpException& e) {
      message = e.what();
      return e.ErrorCode();
    }
    peer.RunAll();
    return -1;
  }
  void Answer(std::string bytes, std::size_t piece = 0, bool close = true) {
    peer.answers.push_back({std::move(bytes), piece, close});
  }

  long Count(const char* entry) const {
    return std::count(peer.log.begin(), peer.log.end(), entry);
  }

  FakeHttpPeer peer;
  TMemoryStream stream;
  std::string message;
};

// The pieces the scripted server cuts its answers into: all at once, then
// byte by byte, then seven bytes at a time.
constexpr std::size_t kPieces[] = {0, 1, 7};

TEST_F(HttpClientTest, InstallerRequestIsExactlyTheseBytes) {
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ");
  EXPECT_EQ(GetCode(), -1);
  ASSERT_EQ(peer.requests.size(), 1u);
  EXPECT_EQ(peer.requests[0],
            "GET /downloads/Setup_UltraVNC_64.exe HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "User-Agent: Mozilla/4.0 (compatible; NetHttp)\r\n"
            "Host: www.example.nl\r\n"
            "\r\n");
  EXPECT_EQ(peer.lookups, std::vector<std::string>{"www.example.nl"});
  EXPECT_EQ(peer.connects, std::vector<std::string>{"127.0.0.1:80"});
  EXPECT_EQ(peer.client.DocName(), "Setup_UltraVNC_64.exe");
}

TEST_F(HttpClientTest, LengthDelimitedBodyInAnyPieces) {
  for (std::size_t piece : {0u, 1u, 7u}) {
    stream.Clear();
    peer.log.clear();
    Answer(
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Type: "
        "Application/Octet\r\n\r\n0123456789",
        piece);
    EXPECT_EQ(GetCode(), -1) << piece;
    EXPECT_EQ(Body(stream), "0123456789");
    EXPECT_EQ(peer.client.StatusCode(), 200);
    EXPECT_EQ(peer.client.ReasonPhrase(), "OK");
    EXPECT_EQ(peer.client.ResponseVersion(), "1.1");
    EXPECT_EQ(peer.client.ContentType(), "application/octet");
    EXPECT_EQ(peer.client.ReceivedCount(), 10);
    EXPECT_EQ(peer.client.DoneError(), 0);
    EXPECT_EQ(std::count(peer.log.begin(), peer.log.end(), "DocEnd"), 1) << piece;
  }
}

TEST_F(HttpClientTest, ErrorStatusRaisesWithReasonAfterTheBodyWasStored) {
  Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!");
  EXPECT_EQ(GetCode(), 404);
  EXPECT_EQ(message, "Not Found");
  EXPECT_EQ(Body(stream), "not here!");
}

TEST_F(HttpClientTest, UnauthorisedAndRedirectWithoutFollowingReturnNormally) {
  Answer("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.client.StatusCode(), 401);
  peer.client.FollowRelocation = false;
  Answer("HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.client.StatusCode(), 302);
  EXPECT_EQ(peer.requests.size(), 2u);
}

TEST_F(HttpClientTest, TruncatedBodyFailsInsteadOfPassingAsComplete) {
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly this");
  EXPECT_EQ(GetCode(), httperrBodyIncomplete);
  EXPECT_EQ(peer.client.DoneError(), httperrBodyIncomplete);
  EXPECT_EQ(peer.client.StatusCode(), 200);
  EXPECT_EQ(message, "Connection closed after 9 of 100 body bytes");
  EXPECT_EQ(Body(stream), "only this");
}

TEST_F(HttpClientTest, BodyUpToCloseIsCompleteWhenTheServerCloses) {
  Answer("HTTP/1.0 200 OK\r\n\r\nall of it", 3);
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(Body(stream), "all of it");
  EXPECT_EQ(peer.client.ContentLength(), -1);
}

TEST_F(HttpClientTest, ConnectionClosedInsideTheHeader) {
  Answer("HTTP/1.0 200 OK\r\nContent-Le");
  EXPECT_EQ(GetCode(), httperrHeaderIncomplete);
  EXPECT_EQ(peer.client.StatusCode(), 200);
  Answer("HTTP/1.0 2");
  EXPECT_EQ(GetCode(), httperrNoStatusLine);
  EXPECT_EQ(peer.client.StatusCode(), 0);
  Answer("");
  EXPECT_EQ(GetCode(), httperrNoStatusLine);
}

TEST_F(HttpClientTest, StatusLineWithoutNumberFails) {
  Answer("HTTP/1.0 abc Broken\r\nContent-Length: 2\r\n\r\nxx");
  EXPECT_EQ(GetCode(), httperrNoStatusLine);
  EXPECT_EQ(peer.client.StatusCode(), 0);
}

TEST_F(HttpClientTest, ChunkedBodies) {
  struct Case {
    const char* body;
    const char* expected;
  } cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"A\r\n0123456789\r\na\r\nabcdefghij\r\n0\r\n\r\n", "0123456789abcdefghij"},
      {"5;name=value\r\nhello\r\n0\r\n\r\n", "hello"},
      {"5\r\nhello\r\n0\r\nX-Trailer: 1\r\nX-Other: 2\r\n\r\n", "hello"},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {0u, 1u}) {
      stream.Clear();
      peer.log.clear();
      Answer(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + c.body, piece);
      EXPECT_EQ(GetCode(), -1) << c.body;
      EXPECT_EQ(Body(stream), c.expected) << c.body;
      EXPECT_EQ(peer.client.ReceivedCount(), static_cast<long long>(strlen(c.expected)));
      EXPECT_EQ(std::count(peer.log.begin(), peer.log.end(), "DocEnd"), 1) << c.body;
    }
  }
}

TEST_F(HttpClientTest, ChunkedWinsOverContentLength) {
  Answer(
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n0\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(Body(stream), "hello");
}

TEST_F(HttpClientTest, BrokenChunkedBodiesFail) {
  Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel");
  EXPECT_EQ(GetCode(), httperrChunkedIncomplete);
  Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
  EXPECT_EQ(GetCode(), httperrChunkedIncomplete);
  Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n");
  EXPECT_EQ(GetCode(), httperrBadChunkSize);
  Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000000\r\nx");
  EXPECT_EQ(GetCode(), httperrBadChunkSize);
}

TEST_F(HttpClientTest, InterimAnswersAreSkippedWhateverTheVersion) {
  for (const char* interim : {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.0 100 Continue\r\n\r\n",
                              "HTTP/1.1 102 Processing\r\nX: y\r\n\r\n"}) {
    stream.Clear();
    Answer(std::string(interim) + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(GetCode(), -1) << interim;
    EXPECT_EQ(peer.client.StatusCode(), 200);
    EXPECT_EQ(Body(stream), "ok");
    EXPECT_EQ(peer.client.ReceivedHeader(),
              (std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Length: 2"}));
  }
}

TEST_F(HttpClientTest, BareHtmlAnswerIsBodyButNoSuccess) {
  Answer("<HTML><body>hi</body>\r\n</HTML>\r\n");
  EXPECT_EQ(GetCode(), httperrNoStatusLine);
  EXPECT_EQ(Body(stream), "<HTML><body>hi</body>\r\n</HTML>\r\n");
  EXPECT_EQ(peer.client.ContentType(), "text/html");
}

TEST_F(HttpClientTest, OverlongHeaderLineIsCutAndLaterLinesParsed) {
  const std::string longLine = "X-Long: " + std::string(20000, 'a') + "\r\n";
  for (std::size_t piece : {0u, 4096u, 100u}) {
    stream.Clear();
    Answer("HTTP/1.0 200 OK\r\n" + longLine + "Content-Length: 4\r\n\r\nbody", piece);
    EXPECT_EQ(GetCode(), -1) << piece;
    EXPECT_EQ(Body(stream), "body");
    ASSERT_EQ(peer.client.ReceivedHeader().size(), 3u);
    EXPECT_LE(peer.client.ReceivedHeader()[1].size(), THttpReceiveBuffer::kCapacity);
  }
}

TEST_F(HttpClientTest, HeaderLinesWithNulBytesDoNotHideTheLineEnd) {
  static const char kAnswer[] = "HTTP/1.0 200 OK\r\nX-Odd: a\0b\r\nContent-Length: 2\r\n\r\nok";
  Answer(std::string(kAnswer, sizeof kAnswer - 1));
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(Body(stream), "ok");
  EXPECT_EQ(peer.client.ReceivedHeader()[1], std::string("X-Odd: a\0b", 10));
}

TEST_F(HttpClientTest, FailingStreamWriteEndsTheRequest) {
  class FullDisk : public TMemoryStream {
    void WriteBuffer(const void*, std::size_t) override { throw std::runtime_error("disk full"); }
  } full;
  peer.client.ReceiveStream = &full;
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody");
  EXPECT_EQ(GetCode(), httperrDataHandling);
  EXPECT_EQ(message, "disk full");
}

// A server cannot make the client keep endless header lines or a document
// past its limit: each answer ends the request with the limit's error and
// keeps no more than the limit in the stream.
TEST_F(HttpClientTest, SecurityHeaderAndDocumentLimits) {
  std::string manyLines, bigHeader;
  for (int i = 0; i < 101; ++i) manyLines += "X-A: " + std::to_string(i) + "\r\n";
  for (int i = 0; i < 20; ++i) bigHeader += "X-B: " + std::string(4000, 'b') + "\r\n";
  std::string interim;
  for (int i = 0; i < 2000; ++i) interim += "HTTP/1.1 100 Continue\r\nX-C: cccccccccccc\r\n\r\n";
  const std::string body(1000, 'x');
  const struct {
    std::string answer;
    long long maxDocument;
    int code;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\n" + manyLines + "\r\nbody", -1, httperrHeaderTooLarge},
      {"HTTP/1.0 200 OK\r\n" + bigHeader + "\r\nbody", -1, httperrHeaderTooLarge},
      {interim + "HTTP/1.0 200 OK\r\n\r\nbody", -1, httperrHeaderTooLarge},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + body, 999, httperrDocumentTooLarge},
      {"HTTP/1.0 200 OK\r\n\r\n" + body, 999, httperrDocumentTooLarge},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" + body + "\r\n0\r\n\r\n", 999,
       httperrDocumentTooLarge},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + body, 1000, -1},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : kPieces) {
      stream.Clear();
      peer.client.MaxDocumentSize = c.maxDocument;
      Answer(c.answer, piece == 1 ? 97 : piece);
      EXPECT_EQ(GetCode(), c.code) << c.answer.substr(0, 60) << " piece " << piece;
      EXPECT_LE(stream.Size(), 1000);
    }
  }
}

TEST_F(HttpClientTest, LookupAndConnectFailures) {
  peer.lookupError = 11001;
  EXPECT_EQ(GetCode(), 404);
  EXPECT_EQ(message, "can't resolve hostname to IP address");
  EXPECT_EQ(peer.client.DoneError(), 11001);
  peer.lookupError = 0;
  peer.connectError = 10061;
  EXPECT_EQ(GetCode(), 404);
  EXPECT_EQ(message, "Connection refused (Error #10061)");
  EXPECT_EQ(peer.client.DoneError(), 10061);
}

TEST_F(HttpClientTest, ErrorEventInsteadOfCompletionEndsTheRequest) {
  peer.connectSocketError = 10049;
  EXPECT_EQ(GetCode(), 404);
  EXPECT_EQ(message, "can't connect: Error 10049 (Error #10049)");
  EXPECT_EQ(peer.client.DoneError(), 10049);
  EXPECT_EQ(peer.client.State(), httpReady);
  // The connection's late reports of that failure leave the next request alone.
  peer.connectSocketError = 0;
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(Body(stream), "MZ");
  EXPECT_EQ(peer.client.StatusCode(), 200);
}

TEST_F(HttpClientTest, HeadTakesNoBody) {
  for (bool close : {true, false}) {
    stream.Clear();
    Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", 0, close);
    Answer("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", 0, close);
    for (int i = 0; i < 2; ++i) {
      EXPECT_NO_THROW(peer.client.Head());
      EXPECT_EQ(peer.client.StatusCode(), 200);
      EXPECT_EQ(peer.client.State(), httpReady);
      EXPECT_EQ(stream.Size(), 0);
    }
  }
  EXPECT_TRUE(
      peer.requests.back().starts_with("HEAD /downloads/Setup_UltraVNC_64.exe HTTP/1.0\r\n"));
}

TEST_F(HttpClientTest, TerminatingApplicationAbortsTheWait) {
  peer.terminateWhileWaiting = true;
  EXPECT_EQ(GetCode(), 404);
  EXPECT_EQ(message, "Connection aborted on request");
  EXPECT_EQ(peer.client.DoneError(), httperrAborted);
  EXPECT_EQ(peer.client.State(), httpReady);
}

TEST_F(HttpClientTest, SettingsChecks) {
  EXPECT_THROW(peer.client.SetRequestVer("2.0"), EHttpException);
  try {
    peer.client.SetRequestVer("2.0");
  } catch (const EHttpException& e) {
    EXPECT_STREQ(e.what(), "Insupported HTTP version");
    EXPECT_EQ(e.ErrorCode(), httpexBadVersion);
  }
  peer.client.SetRequestVer("1.1");
  EXPECT_EQ(peer.client.RequestVer(), "1.1");
  try {
    peer.client.Post();
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_STREQ(e.what(), "HTTP component has nothing to post or put");
    EXPECT_EQ(e.ErrorCode(), httpexNothingToSend);
  }
}

TEST_F(HttpClientTest, BusyClientRefusesASecondRequest) {
  peer.client.StartRequest(rqGet);
  try {
    peer.client.StartRequest(rqGet);
    FAIL();
  } catch (const EHttpException& e) {
    EXPECT_STREQ(e.what(), "HTTP component HttpClient is busy");
    EXPECT_EQ(e.ErrorCode(), httpexBusy);
  }
}

TEST_F(HttpClientTest, RequestPathWithoutControlCharacters) {
  peer.client.URL = "http://h/a b\x01\x7f?q=1";
  Answer("HTTP/1.0 204 No Content\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_TRUE(peer.requests[0].starts_with("GET /a%20b%01%7F?q=1 HTTP/1.0\r\n"));
  peer.client.URL = "http://h?x=1";
  Answer("HTTP/1.0 204 No Content\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_TRUE(peer.requests[1].starts_with("GET /?x=1 HTTP/1.0\r\n"));
}

TEST_F(HttpClientTest, KeepAliveConnectionServesTheNextRequest) {
  peer.client.SetRequestVer("1.1");
  Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", 0, false);
  Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb", 0, false);
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(Body(stream), "ab");
  EXPECT_EQ(peer.connects.size(), 1u);
  EXPECT_EQ(peer.requests.size(), 2u);
}

TEST_F(HttpClientTest, AcceptEncodingWithContentCoding) {
  peer.client.SetOptions(httpoEnableContentCoding | httpoUseQuality);
  Answer("HTTP/1.0 204 No Content\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_NE(peer.requests[0].find("\r\nAccept-Encoding: identity;q=0, *;q=0\r\n"),
            std::string::npos);
  peer.client.SetOptions(httpoEnableContentCoding);
  Answer("HTTP/1.0 204 No Content\r\n\r\n");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.requests[1].find("Accept-Encoding"), std::string::npos);
}

// ------------------------------------------------------------- relocation

TEST_F(HttpClientTest, RelativeRelocationOnANewConnection) {
  Answer("HTTP/1.0 302 Found\r\nLocation: /new/file.exe\r\nContent-Length: 5\r\n\r\nmoved");
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ");
  EXPECT_EQ(GetCode(), -1);
  ASSERT_EQ(peer.requests.size(), 2u);
  EXPECT_TRUE(peer.requests[1].starts_with("GET /new/file.exe HTTP/1.0\r\n"));
  EXPECT_NE(peer.requests[1].find("\r\nHost: www.example.nl\r\n"), std::string::npos);
  EXPECT_EQ(Body(stream), "MZ") << "the relocation answer's body is cut away";
  EXPECT_EQ(peer.client.StatusCode(), 200);
  EXPECT_EQ(std::count(peer.log.begin(), peer.log.end(), "RequestDone 0"), 1);
  EXPECT_EQ(peer.client.LocationChangeCurCount(), 2) << "a new connection counts twice";
}

TEST_F(HttpClientTest, AbsoluteRelocationToAnotherHostAndPort) {
  Answer("HTTP/1.0 301 Moved\r\nLocation: http://mirror.example.org:8080/x.exe\r\n\r\n");
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.lookups, (std::vector<std::string>{"www.example.nl", "mirror.example.org"}));
  EXPECT_EQ(peer.connects.back(), "127.0.0.1:8080");
  ASSERT_EQ(peer.requests.size(), 2u);
  EXPECT_TRUE(peer.requests[1].starts_with("GET /x.exe HTTP/1.0\r\n"));
  EXPECT_NE(peer.requests[1].find("\r\nHost: mirror.example.org:8080\r\n"), std::string::npos);
  EXPECT_EQ(peer.client.Location(), "http://mirror.example.org/x.exe");
}

// https: over TLS to port 443, also when a relocation leads there; without
// TLS in the transport nothing is sent.
TEST_F(HttpClientTest, HttpsGoesOverTlsOrNowhere) {
  Answer("HTTP/1.0 301 Moved\r\nLocation: https://www.example.nl/x.exe\r\n\r\n");
  EXPECT_EQ(GetCode(), 501);
  EXPECT_EQ(message, "Protocol \"https\" not implemented");
  EXPECT_EQ(peer.connects.size(), 1u);
  EXPECT_EQ(peer.requests.size(), 1u);

  peer.tls = true;
  Answer("HTTP/1.0 301 Moved\r\nLocation: https://www.example.nl/x.exe\r\n\r\n");
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.connects.back(), "127.0.0.1:443");
  EXPECT_EQ(peer.secured, std::vector<std::string>{"www.example.nl"});
  ASSERT_EQ(peer.requests.size(), 3u);
  EXPECT_TRUE(peer.requests[2].starts_with("GET /x.exe HTTP/1.0\r\n"));
  EXPECT_EQ(Body(stream), "MZ");

  // Through a proxy: a CONNECT tunnel, TLS inside it, the server's own path.
  peer.client.URL = "https://www.example.nl/y.exe";
  peer.client.Proxy = "proxy.example";
  Answer("HTTP/1.1 200 Connection established\r\n\r\n", 0, false);
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\ny");
  EXPECT_EQ(GetCode(), -1);
  ASSERT_EQ(peer.requests.size(), 5u);
  EXPECT_EQ(peer.requests[3],
            "CONNECT www.example.nl:443 HTTP/1.1\r\nHost: www.example.nl:443\r\n\r\n");
  EXPECT_TRUE(peer.requests[4].starts_with("GET /y.exe HTTP/1.0\r\n"));
  EXPECT_EQ(peer.secured.back(), "tunnel:www.example.nl");

  // A proxy that refuses the tunnel gets nothing more.
  Answer("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", 0, false);
  EXPECT_EQ(GetCode(), 403);
  EXPECT_EQ(message, "The proxy opened no tunnel to www.example.nl:443");
  EXPECT_EQ(peer.requests.size(), 6u);
}

// A relocation through the proxy to https goes through a tunnel, never as
// a plain request for an https URL; one from https to http is not followed.
TEST_F(HttpClientTest, RelocationKeepsTls) {
  peer.tls = true;
  peer.client.Proxy = "proxy.local:3128";
  peer.client.URL = "http://www.example.nl/a";
  Answer("HTTP/1.0 301 Moved\r\nLocation: https://www.example.nl/b\r\n\r\n");
  Answer("HTTP/1.1 200 Connection established\r\n\r\n", 0, false);
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nb");
  EXPECT_EQ(GetCode(), -1);
  ASSERT_EQ(peer.requests.size(), 3u);
  EXPECT_EQ(peer.requests[1],
            "CONNECT www.example.nl:443 HTTP/1.1\r\nHost: www.example.nl:443\r\n\r\n");
  EXPECT_TRUE(peer.requests[2].starts_with("GET /b HTTP/1.0\r\n"));
  EXPECT_EQ(Body(stream), "b");

  peer.client.Proxy.clear();
  peer.client.URL = "https://www.example.nl/c";
  Answer("HTTP/1.0 302 Found\r\nLocation: http://www.example.nl/c\r\n\r\n");
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nc");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.requests.size(), 4u);
  EXPECT_EQ(peer.client.StatusCode(), 302);
  EXPECT_EQ(peer.client.Location(), "http://www.example.nl/c");
  peer.answers.clear();
}

// Over TLS a body read until the close needs the server's close_notify.
TEST_F(HttpClientTest, CloseWithoutCloseNotifyCutsABodyReadUntilClose) {
  peer.tls = true;
  peer.client.URL = "https://www.example.nl/x";
  for (const bool clean : {true, false}) {
    peer.cleanClose = clean;
    Answer("HTTP/1.0 200 OK\r\n\r\nuntil close");
    EXPECT_EQ(GetCode(), clean ? -1 : httperrBodyIncomplete) << clean;
  }
}

// The watchdog: a connection (here a proxy's tunnel) that never gets ready
// and a server that falls silent end the request at their limits.
TEST_F(HttpClientTest, WatchdogEndsSilentRequests) {
  peer.tls = true;
  const struct {
    const char* proxy;
    int limitTicks;
  } cases[] = {{"proxy.local:3128", 60}, {"", 120}};
  for (const auto& c : cases) {
    peer.client.Proxy = c.proxy;
    peer.client.URL = "https://www.example.nl/x";
    peer.client.StartRequest(rqGet);
    peer.RunAll();
    ASSERT_TRUE(peer.watchdog);
    for (int tick = 1; tick < c.limitTicks; ++tick) peer.client.WatchdogTick();
    EXPECT_NE(peer.client.State(), httpReady) << c.proxy;
    peer.client.WatchdogTick();
    peer.RunAll();
    EXPECT_EQ(peer.client.State(), httpReady) << c.proxy;
    EXPECT_EQ(peer.client.DoneError(), httperrTimeout) << c.proxy;
    peer.client.WatchdogTick();
    EXPECT_FALSE(peer.watchdog);
  }
}

TEST_F(HttpClientTest, RelativeDocumentRelocation) {
  peer.client.URL = "http://h/dir/a.htm";
  Answer("HTTP/1.0 302 Found\r\nLocation: b.htm\r\n\r\n");
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nb");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_TRUE(peer.requests[1].starts_with("GET /dir/b.htm HTTP/1.0\r\n"));
}

TEST_F(HttpClientTest, ThirdRelocationOnNewConnectionsIsRefused) {
  for (int i = 1; i <= 4; ++i) {
    Answer("HTTP/1.0 302 Found\r\nLocation: /hop" + std::to_string(i) + "\r\n\r\n");
  }
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.client.StatusCode(), 302);
  EXPECT_EQ(peer.requests.size(), 3u);
}

TEST_F(HttpClientTest, ExceededHandlerMayAllowMore) {
  int exceeded = 0;
  peer.client.OnLocationChangeExceeded = [&](THttpClient&, int, bool& allow) {
    ++exceeded;
    allow = true;
  };
  for (int i = 1; i <= 4; ++i) {
    Answer("HTTP/1.0 302 Found\r\nLocation: /hop" + std::to_string(i) + "\r\n\r\n");
  }
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.client.StatusCode(), 200);
  EXPECT_EQ(peer.requests.size(), 5u);
  EXPECT_GT(exceeded, 0);
}

TEST_F(HttpClientTest, KeptConnectionRelocatesWithoutEarlyDone) {
  peer.client.SetRequestVer("1.1");
  Answer("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 3\r\n\r\nold", 0, false);
  Answer("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew", 0, false);
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.connects.size(), 1u);
  EXPECT_EQ(Body(stream), "new");
  EXPECT_EQ(peer.client.StatusCode(), 200);
  EXPECT_EQ(std::count(peer.log.begin(), peer.log.end(), "RequestDone 0"), 1);
}

TEST_F(HttpClientTest, RelocationThroughProxyKeepsTheProxyPort) {
  peer.client.Proxy = "proxy.local:3128";
  peer.client.URL = "http://www.example.nl/a";
  Answer("HTTP/1.0 302 Found\r\nLocation: http://other.example:81/b\r\n\r\n");
  Answer("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nb");
  EXPECT_EQ(GetCode(), -1);
  EXPECT_EQ(peer.connects, (std::vector<std::string>{"127.0.0.1:3128", "127.0.0.1:3128"}));
  EXPECT_TRUE(peer.requests[0].starts_with("GET http://www.example.nl/a HTTP/1.0\r\n"));
  EXPECT_TRUE(peer.requests[1].starts_with("GET http://other.example:81/b HTTP/1.0\r\n"));
  EXPECT_NE(peer.requests[1].find("\r\nHost: other.example:81\r\n"), std::string::npos);
}

// A request ends before every message it posted has arrived: those that
// arrive during the next request must not end that one.
TEST_F(HttpClientTest, LateMessagesOfARequestLeaveTheNextAlone) {
  for (std::size_t piece : kPieces) {
    stream.Clear();
    peer.log.clear();
    Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nMZ", piece);
    Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nab", piece);
    peer.client.Get();
    peer.client.Get();  // at once, as a caller may
    EXPECT_EQ(Body(stream), "MZab") << piece;
    EXPECT_EQ(peer.client.StatusCode(), 200) << piece;
    peer.RunAll();
    EXPECT_EQ(Count("RequestDone 0"), 2) << piece;
  }
  // Aborted with a relocation on its way: the next request runs once.
  peer.client.SetRequestVer("1.1");
  const std::size_t before = peer.requests.size();
  Answer("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n", 0, false);
  peer.client.StartRequest(rqGet);
  for (int i = 0; i < 100 && Count("LocationChange") == 0; ++i) peer.WaitAndProcessMessages();
  ASSERT_EQ(Count("LocationChange"), 1);
  peer.client.Abort();
  Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 0, false);
  stream.Clear();
  EXPECT_EQ(GetCode(), -1) << message;
  EXPECT_EQ(Body(stream), "ok");
  EXPECT_EQ(peer.requests.size(), before + 2);
}

// A relocation answer's body, however it is delimited and however it
// arrives, is read and dropped; only the relocated answer ends the request.
TEST_F(HttpClientTest, RelocationAnswerBodyNeverEndsTheRequest) {
  std::string bigPage = "<html>\r\n";
  for (int i = 0; i < 400; ++i) bigPage += "<p>" + std::string(60, 'x') + "</p>\r\n";
  bigPage += "</html>\r\n";
  struct Case {
    const char* name;
    std::string answer;
    bool keepAlive;
  } cases[] = {
      {"1.0 page up to the close",
       "HTTP/1.0 302 Found\r\nLocation: /new.exe\r\n\r\n<html>\r\nmoved\r\n</html>\r\n", false},
      {"1.0 page larger than the buffer",
       "HTTP/1.0 302 Found\r\nLocation: /new.exe\r\nContent-Type: text/html\r\n\r\n" + bigPage,
       false},
      {"1.1 chunked, connection kept",
       "HTTP/1.1 302 Found\r\nLocation: /new.exe\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\r\nmoved\r\n0\r\n\r\n",
       true},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : kPieces) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      if (c.keepAlive) peer.client.SetRequestVer("1.1");
      stream.Clear();
      peer.log.clear();
      peer.requests.clear();
      peer.connects.clear();
      Answer(c.answer, piece, !c.keepAlive);
      Answer(std::string("HTTP/1.") + (c.keepAlive ? "1" : "0") +
                 " 200 OK\r\nContent-Length: 2\r\n\r\nMZ",
             piece, !c.keepAlive);
      EXPECT_EQ(GetCode(), -1) << message;
      EXPECT_EQ(peer.client.StatusCode(), 200);
      EXPECT_EQ(Body(stream), "MZ");
      ASSERT_EQ(peer.requests.size(), 2u);
      EXPECT_TRUE(peer.requests[1].starts_with("GET /new.exe HTTP/1."));
      EXPECT_EQ(peer.connects.size(), c.keepAlive ? 1u : 2u);
      EXPECT_EQ(Count("Ready"), 1);
      EXPECT_EQ(Count("RequestDone 0"), 1);
      peer.answers.clear();
      peer.client.StartRequest(rqClose);  // the next case starts afresh
      peer.RunAll();
    }
  }
}

// The body decides whether the answer is whole; the error the close
// reports after it (a reset, an abort) does not.
TEST_F(HttpClientTest, CloseErrorAfterACompleteBodyIsANormalEnd) {
  struct Case {
    const char* answer;
    const char* body;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nMZab", "MZab"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nMZab\r\n0\r\n\r\n", "MZab"},
      {"HTTP/1.0 200 OK\r\n\r\nMZab", "MZab"},  // up to the close
  };
  for (const Case& c : cases) {
    for (int error : {10053, 10054}) {
      for (std::size_t piece : kPieces) {
        SCOPED_TRACE(std::string(c.answer) + " / " + std::to_string(error) + " / " +
                     std::to_string(piece));
        stream.Clear();
        peer.answers.push_back({c.answer, piece, true, error});
        EXPECT_EQ(GetCode(), -1) << message;
        EXPECT_EQ(peer.client.StatusCode(), 200);
        EXPECT_EQ(Body(stream), c.body);
        EXPECT_EQ(peer.client.DoneError(), error) << "the close error is still told";
      }
    }
  }
  // Short of the length it is a failure, whatever the close reports.
  for (std::size_t piece : kPieces) {
    peer.answers.push_back(
        {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nMZab", piece, true, 10054});
    EXPECT_EQ(GetCode(), httperrBodyIncomplete) << piece;
  }
}

TEST_F(HttpClientTest, EveryAnswerWithoutAValidStatusLineFails) {
  struct Case {
    const char* answer;
    bool close;
  } cases[] = {
      {"HTTP/1.0 abc\r\n\r\n", true},
      {"Server: odd\r\nContent-Length: 0\r\n\r\n", true},
      {"HTTP/1.0 abc\r\nContent-Length: 2\r\n\r\nxx", true},
      {"HTTP/1.1 2x0 Odd\r\nContent-Length: 0\r\n\r\n", false},
      {"HTTP/1.1 2x0 Odd\r\nContent-Length: 2\r\n\r\nxx", false},
  };
  peer.client.SetRequestVer("1.1");
  for (const Case& c : cases) {
    for (std::size_t piece : kPieces) {
      SCOPED_TRACE(std::string(c.answer) + " / " + std::to_string(piece));
      peer.log.clear();
      Answer(c.answer, piece, c.close);
      EXPECT_EQ(GetCode(), httperrNoStatusLine);
      EXPECT_EQ(peer.client.DoneError(), httperrNoStatusLine);
      EXPECT_EQ(peer.client.StatusCode(), 0);
      EXPECT_EQ(message, "No valid status line received");
      EXPECT_EQ(Count("RequestDone 24"), 0);
      EXPECT_EQ(Count("Ready"), 1);
    }
  }
}

TEST_F(HttpClientTest, LookupThatCannotStartEndsTheRequestOnce) {
  struct Case {
    const char* url;
    int startError;
    const char* reason;
  } cases[] = {
      {"http://www.example.nl/x.exe", 10055, "can't connect: Error 10055 (Error #10055)"},
      {"http:///x.exe", 0, "can't connect: Error 10022 (Error #10022)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    peer.log.clear();
    peer.client.URL = c.url;
    peer.lookupStartError = c.startError;
    EXPECT_EQ(GetCode(), 404);
    peer.RunAll();
    EXPECT_EQ(message, c.reason);
    EXPECT_EQ(peer.client.StatusCode(), 404);
    EXPECT_EQ(Count("SessionClosed"), 1);
    EXPECT_EQ(Count("Ready"), 1);
    EXPECT_EQ(peer.log.back(), "RequestDone " + std::to_string(peer.client.DoneError()));
    EXPECT_EQ(std::count_if(peer.log.begin(), peer.log.end(),
                            [](const std::string& e) { return e.starts_with("RequestDone"); }),
              1);
  }
}

// Abort closes the connection like any close: the open document ends and
// the session closes, once, and the next request is not disturbed.
TEST_F(HttpClientTest, AbortIsSeenAsAClose) {
  struct Case {
    const char* name;
    const char* partial;  // what arrives before Abort
    long docEnds;
  } cases[] = {
      {"during the body", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nMZ", 1},
      {"during the header", "HTTP/1.0 200 OK\r\nContent-Le", 0},
      {"before any answer", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.log.clear();
    stream.Clear();
    Answer(c.partial, 0, false);
    peer.client.StartRequest(rqGet);
    peer.RunAll();
    ASSERT_NE(peer.client.State(), httpReady);
    peer.client.Abort();
    peer.RunAll();
    EXPECT_EQ(Count("DocEnd"), c.docEnds);
    EXPECT_EQ(Count("SessionClosed"), 1);
    EXPECT_EQ(Count("RequestDone 3"), 1);
    EXPECT_EQ(peer.client.ReasonPhrase(), "Connection aborted on request");
    Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    stream.Clear();
    EXPECT_EQ(GetCode(), -1) << message;
    EXPECT_EQ(Body(stream), "ok");
  }
  // Aborted while the lookup runs.
  peer.log.clear();
  peer.client.StartRequest(rqGet);
  ASSERT_EQ(peer.client.State(), httpDnsLookup);
  peer.client.Abort();
  peer.RunAll();
  EXPECT_EQ(Count("SessionClosed"), 1);
  EXPECT_EQ(Count("RequestDone 3"), 1);
}

}  // namespace
}  // namespace corvan::http::testing
