// The HTTP client component on real sockets under Wine, against nginx and a
// scripted server on loopback (started by http_peers.sh).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "RequestDeadline.h"
#include "net/http/NetHttpClient.h"

namespace corvan::http {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Nginx(const std::string& path) {
  return "http://127.0.0.1:" + Env("CORVAN_HTTP_PORT") + path;
}
std::string Scripted(const std::string& path) {
  return "http://127.0.0.1:" + Env("CORVAN_SCRIPT_PORT") + path;
}

std::string SiteFile(const std::string& name) {
  std::ifstream in(Env("CORVAN_HTTP_ROOT") + "\\" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class HttpWin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("CORVAN_HTTP_PORT").empty()) << "run through http_peers.sh";
    client.ReceiveStream = &stream;
  }
  // Get; the exception's code, or -1 when none. A request that outlives
  // the test's limit fails the test.
  int Get(const std::string& url) {
    const int code = GetWithin(url, testing::kRequestLimitMs);
    EXPECT_EQ(expired, "") << "GET " << url;
    return code;
  }
  int GetWithin(const std::string& url, DWORD limitMs) {
    stream.Clear();
    client.URL = url;
    testing::TRequestDeadline deadline(client, limitMs);
    int code = -1;
    try {
      client.Get();
    } catch (const EHttpException& e) {
      message = e.what();
      code = e.ErrorCode();
    }
    expired = deadline.Expired();
    return code;
  }
  std::string Body() const { return std::string(stream.Bytes().begin(), stream.Bytes().end()); }

  TNetHttpClient client;
  TMemoryStream stream;
  std::string message;
  std::string expired;  // why the last Get was cut short, if it was
};

TEST_F(HttpWin, WholeFileInBothVersions) {
  const std::string expected = SiteFile("file.bin");
  ASSERT_EQ(expected.size(), 300000u);
  for (const char* version : {"1.0", "1.1"}) {
    client.SetRequestVer(version);
    EXPECT_EQ(Get(Nginx("/file.bin")), -1) << version;
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_EQ(client.ContentLength(), 300000);
    EXPECT_TRUE(Body() == expected) << version;
    EXPECT_EQ(client.ReceivedCount(), 300000);
  }
}

TEST_F(HttpWin, NamesResolveThroughTheHostsFile) {
  EXPECT_EQ(Get("http://localhost:" + Env("CORVAN_HTTP_PORT") + "/file.bin"), -1);
  EXPECT_EQ(stream.Size(), 300000);
}

TEST_F(HttpWin, NotFoundRaisesAfterStoringTheErrorPage) {
  EXPECT_EQ(Get(Nginx("/missing.exe")), 404);
  EXPECT_EQ(message, "Not Found");
  EXPECT_NE(Body().find("404"), std::string::npos);
}

TEST_F(HttpWin, RelocationsFollowed) {
  const std::string expected = SiteFile("file.bin");
  for (const char* path : {"/rel", "/abs", "/other"}) {
    EXPECT_EQ(Get(Nginx(path)), -1) << path;
    EXPECT_EQ(client.StatusCode(), 200) << path;
    EXPECT_TRUE(Body() == expected) << path << ": only the final document is kept";
  }
}

// nginx over TLS with the test root's certificate for localhost: directly,
// by relocation from http, and refused for a certificate of another name.
TEST_F(HttpWin, HttpsThroughTheSystemsTls) {
  const std::string expected = SiteFile("file.bin");
  EXPECT_EQ(Get("https://localhost:" + Env("CORVAN_HTTPS_PORT") + "/file.bin"), -1) << message;
  EXPECT_TRUE(Body() == expected);
  EXPECT_EQ(Get(Nginx("/to-https")), -1) << message;
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_TRUE(Body() == expected);
  EXPECT_EQ(Get("https://localhost:" + Env("CORVAN_HTTPS_OTHER_PORT") + "/file.bin"), 404);
  EXPECT_NE(message.find("is for other.test, not for localhost"), std::string::npos) << message;
  EXPECT_EQ(stream.Size(), 0);
}

TEST_F(HttpWin, RelocationLimit) {
  // Each relocation on a new connection counts twice: the third is refused.
  EXPECT_EQ(Get(Nginx("/chain1")), -1);
  EXPECT_EQ(client.StatusCode(), 302);
  EXPECT_EQ(Get(Nginx("/loop")), -1);
  EXPECT_EQ(client.StatusCode(), 302);
  client.OnLocationChangeExceeded = [](THttpClient&, int, bool& allow) { allow = true; };
  EXPECT_EQ(Get(Nginx("/chain1")), -1);
  EXPECT_EQ(client.StatusCode(), 200);
}

TEST_F(HttpWin, ChunkedAnswerOfHttp11) {
  client.SetRequestVer("1.1");
  EXPECT_EQ(Get(Nginx("/page.shtml")), -1);
  EXPECT_EQ(client.TransferEncoding(), "chunked");
  EXPECT_EQ(Body(), "start /page.shtml middle 127.0.0.1 end\n");
}

TEST_F(HttpWin, ScriptedAnswers) {
  EXPECT_EQ(Get(Scripted("/interim")), -1);
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(Body(), "ok");
  EXPECT_EQ(Get(Scripted("/longheader")), -1);
  EXPECT_EQ(Body(), "body");
  EXPECT_EQ(Get(Scripted("/nul")), -1);
  EXPECT_EQ(Body(), "ok");
  EXPECT_EQ(Get(Scripted("/slow")), -1);
  EXPECT_EQ(Body(), std::string("0123456789") + "0123456789" + "0123456789" + "0123456789" +
                        "0123456789" + "0123456789" + "0123456789" + "0123456789" + "0123456789" +
                        "0123456789");
  EXPECT_EQ(Get(Scripted("/chunked-trailer")), -1);
  EXPECT_EQ(Body(), "hello world");
}

TEST_F(HttpWin, BrokenAnswersFail) {
  EXPECT_EQ(Get(Scripted("/reset")), httperrBodyIncomplete);
  EXPECT_EQ(client.ReceivedCount(), 100);
  EXPECT_EQ(Get(Scripted("/chunked-broken")), httperrChunkedIncomplete);
  EXPECT_EQ(Get(Scripted("/badstatus")), httperrNoStatusLine);
  EXPECT_EQ(Get(Scripted("/html")), httperrNoStatusLine);
  EXPECT_EQ(Body(), "<HTML><body>bare</body></HTML>\r\n");
  EXPECT_EQ(client.ContentType(), "text/html");
}

// The page of a relocation answer arrives in reads of its own before the
// close (HTTP/1.0) or as chunks on a kept connection (HTTP/1.1); only the
// relocated answer ends the request, once.
TEST_F(HttpWin, RelocationAnswersWithAPage) {
  int done = 0;
  client.OnRequestDone = [&done](THttpClient&, THttpRequest, int) { ++done; };
  auto settle = [] {
    // Anything still posted for the request arrives now.
    const DWORD end = GetTickCount() + 300;
    while (GetTickCount() < end) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      Sleep(10);
    }
  };
  for (const char* path : {"/moved-page", "/moved-page-later"}) {
    done = 0;
    EXPECT_EQ(Get(Scripted(path)), -1) << path << ": " << message;
    settle();
    EXPECT_EQ(client.StatusCode(), 200) << path;
    EXPECT_EQ(Body(), "MZ") << path;
    EXPECT_EQ(done, 1) << path;
  }

  done = 0;
  client.SetRequestVer("1.1");
  EXPECT_EQ(Get(Scripted("/moved-chunked")), -1) << message;
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(Body(), "MZ2") << "the second request on the same connection";
  client.Abort();
  settle();
  EXPECT_EQ(done, 2) << "the request, then the abort of the kept connection";
}

// A reset right after the whole body: the answer is complete.
TEST_F(HttpWin, ResetAfterACompleteBody) {
  const std::string body =
      "0123456789012345678901234567890123456789012345678901234567890123456789"
      "012345678901234567890123456789";
  EXPECT_EQ(Get(Scripted("/complete-reset")), -1) << message;
  EXPECT_EQ(Body(), body);
  EXPECT_EQ(Get(Scripted("/close-delimited-reset")), -1) << message;
  EXPECT_EQ(Body(), body);
  client.SetRequestVer("1.1");
  EXPECT_EQ(Get(Scripted("/chunked-reset")), -1) << message;
  EXPECT_EQ(Body(), body);
}

TEST_F(HttpWin, BasicAuthenticationAtNginx) {
  const std::string expected = SiteFile("file.bin");
  EXPECT_EQ(Get(Nginx("/private/file.bin")), -1) << "401 is no failure";
  EXPECT_EQ(client.StatusCode(), 401);
  client.Username = "User";
  client.Password = "wrong";
  EXPECT_EQ(Get(Nginx("/private/file.bin")), -1);
  EXPECT_EQ(client.StatusCode(), 401);
  client.Password = "Password";
  for (const char* version : {"1.0", "1.1"}) {
    client.SetRequestVer(version);
    EXPECT_EQ(Get(Nginx("/private/file.bin")), -1) << version;
    EXPECT_EQ(client.StatusCode(), 200) << version;
    EXPECT_TRUE(Body() == expected) << version << ": the challenge's page is cut away";
    EXPECT_EQ(client.AuthBasicState(), 2);
  }
}

TEST_F(HttpWin, ProxyAskingForBasicCredentials) {
  client.Proxy = "127.0.0.1:" + Env("CORVAN_PROXY_PORT");
  EXPECT_EQ(Get(Nginx("/file.bin")), -1);
  EXPECT_EQ(client.StatusCode(), 407);
  client.ProxyUsername = "pu";
  client.ProxyPassword = "pp";
  EXPECT_EQ(Get(Nginx("/file.bin")), -1) << message;
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_TRUE(Body() == SiteFile("file.bin"));
  EXPECT_EQ(client.ProxyAuthBasicState(), 2);
}

// The scripted server accepts only the published example's responses.
TEST_F(HttpWin, NtlmExchange) {
  client.Username = "User";
  client.Password = "Password";
  EXPECT_EQ(Get(Scripted("/ntlm")), -1) << message;
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(Body(), "MZ-ntlm");
  EXPECT_EQ(client.AuthNTLMState(), 4);
}

// A peer that stops in the middle of its answer and keeps the connection
// open: the test's own limit ends the request as the application's end
// would, and says where the client waited.
TEST_F(HttpWin, AnAnswerThatNeverEndsIsCutShortByTheTestLimit) {
  const DWORD start = GetTickCount();
  EXPECT_EQ(GetWithin(Scripted("/stall"), 1500), 404);
  EXPECT_LT(GetTickCount() - start, 10000u);
  EXPECT_EQ(message, "Connection aborted on request");
  EXPECT_EQ(expired, "no end within 1500 ms, waiting in state httpWaitingBody");
  EXPECT_EQ(Body(), "0123456789");
  EXPECT_EQ(Get(Nginx("/missing.exe")), 404) << "the client serves the next request";
  EXPECT_EQ(message, "Not Found");
}

TEST_F(HttpWin, RefusedConnection) {
  // The port of a socket bound but not listening refuses connections.
  EXPECT_EQ(Get("http://127.0.0.1:1/x"), 404);
  EXPECT_EQ(message, "Connection refused (Error #10061)");
  EXPECT_EQ(client.DoneError(), 10061);
}

TEST_F(HttpWin, UnsupportedProtocol) {
  EXPECT_EQ(Get("ftp://127.0.0.1:" + Env("CORVAN_HTTP_PORT") + "/x"), 501);
  EXPECT_EQ(message, "Protocol \"ftp\" not implemented");
}

}  // namespace
}  // namespace corvan::http
