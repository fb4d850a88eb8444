// The HTTP upload against scripted targets: request bytes, the length it
// announces, proxies, answers and relocations.
#include <gtest/gtest.h>

#include "crash/deliver/FakeDelivery.h"
#include "crash/deliver/HttpUpload.h"
#include "crash/deliver/MimeMessage.h"

namespace corvan::crash {
namespace {

using test::FakeNetwork;
using test::MemoryFiles;
using test::RecordingProgress;

const std::string B(kMimeBoundary);
constexpr char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

class RecordingOpener final : public PageOpener {
 public:
  void Open(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    job.uploadUrl = "http://reports.test/cgi/upload";
    job.port = 80;
    network.tls = true;
  }
  bool Run(const std::string& proxy = "") {
    HttpUpload upload(network, files, progress, browser, policy, [this] { return now += tick; });
    const bool sent = upload.Run(job, proxy);
    failure = upload.failure();
    return sent;
  }
  std::string& Sent(const std::string& host = "reports.test") { return network.peers[host].sent; }
  // The body as the target reads it: after the empty line, by length.
  static std::string Body(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
  }
  static std::string Header(const std::string& request, const std::string& name) {
    const std::size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "<none>";
    const std::size_t start = at + name.size() + 4;
    return request.substr(start, request.find("\r\n", start) - start);
  }

  FakeNetwork network;
  MemoryFiles files;
  RecordingProgress progress;
  RecordingOpener browser;
  MailJob job;
  UploadPolicy policy{true, true};
  std::int64_t now = 0, tick = 0;  // each look at the clock moves it by tick ms
  std::string failure;
};

TEST_F(Upload, EmptyJobIsOnlyTheClosingBoundary) {
  network.peers["reports.test"].Answer(kOk);
  ASSERT_TRUE(Run());
  const std::string note = "--" + B +
                           "\r\nContent-Disposition: form-data; name=\"Encryption\"\r\n\r\n"
                           "none: sent in clear text (HttpClearText)\r\n";
  EXPECT_EQ(Sent(),
            "POST /cgi/upload HTTP/1.1\r\nHost: reports.test:80\r\nConnection: close\r\n"
            "Pragma: no-cache\r\nUser-Agent: zelExcept/3.0\r\n"
            "Content-Type: multipart/form-data; boundary=" +
                B + "\r\nContent-Length: " + std::to_string(note.size() + B.size() + 6) +
                "\r\n\r\n" + note + "--" + B + "--\r\n");
  EXPECT_EQ(network.connects, std::vector<std::string>{"reports.test:80"});
}

TEST_F(Upload, LengthCountsExactlyThePartsSent) {
  files.files["C:\\bugreport.txt"].data = "report\r\n";
  files.files["C:\\empty.log"].data = "";
  job.files = {{"C:\\bugreport.txt", "bugreport.txt", "BugReport"},
               {"C:\\empty.log", "empty.log", "Log"},
               {"C:\\missing.txt", "missing.txt", "Missing"}};
  job.uploadFields = {{"MailFrom", "a@b"}, {"Empty", ""}};
  job.sender = "Desk <desk@x.test>";
  job.account = "user";
  job.password = "secret";
  network.peers["reports.test"].Answer(kOk);
  ASSERT_TRUE(Run());
  const std::string request = Sent();
  const std::string body = Body(request);
  EXPECT_EQ(Header(request, "Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(Header(request, "From"), "<desk@x.test>");
  EXPECT_EQ(Header(request, "Authorization"), "Basic dXNlcjpzZWNyZXQ=");
  EXPECT_EQ(body, "--" + B +
                      "\r\nContent-Disposition: form-data; name=\"Encryption\"\r\n\r\n"
                      "none: sent in clear text (HttpClearText)\r\n--" +
                      B + "\r\nContent-Disposition: form-data; name=\"MailFrom\"\r\n\r\na@b\r\n--" +
                      B + "\r\nContent-Disposition: form-data; name=\"Empty\"\r\n\r\n\r\n--" + B +
                      "\r\nContent-Disposition: form-data; name=\"BugReport\"; "
                      "filename=\"bugreport.txt\"\r\nContent-Type: application/octet-stream\r\n\r\n"
                      "report\r\n\r\n--" +
                      B +
                      "\r\nContent-Disposition: form-data; name=\"Log\"; filename=\"empty.log\"\r\n"
                      "Content-Type: application/octet-stream\r\n\r\n\r\n--" +
                      B + "--\r\n");
}

// The crash servers' convention: the dump under upload_file_minidump, the
// report a file of its own, and the job's own boundary everywhere.
TEST_F(Upload, CrashServerFieldsWithTheJobsBoundary) {
  files.files["C:\\bugreport.txt"].data = "report";
  files.files["C:\\crash.dmp"].data = "MDMP";
  job.files = {{"C:\\bugreport.txt", "bugreport.txt", "BugReport"},
               {"C:\\crash.dmp", "crash.dmp", "MiniDump"}};
  job.uploadFields = {{"prod", "CorVAN NG"}};
  job.crashServer = true;
  job.boundary = "corvan-0123";
  job.uploadUrl = "https://reports.test/cgi/upload";
  network.peers["reports.test"].Answer("HTTP/1.1 200 OK\r\n\r\nCrashID=bp-0123\n");
  ASSERT_TRUE(Run());
  const std::string request = Sent();
  EXPECT_EQ(Header(request, "Content-Type"), "multipart/form-data; boundary=corvan-0123");
  EXPECT_EQ(Body(request),
            "--corvan-0123\r\nContent-Disposition: form-data; name=\"prod\"\r\n\r\nCorVAN NG"
            "\r\n--corvan-0123\r\nContent-Disposition: form-data; name=\"BugReport\"; "
            "filename=\"bugreport.txt\"\r\nContent-Type: application/octet-stream\r\n\r\nreport"
            "\r\n--corvan-0123\r\nContent-Disposition: form-data; name=\"upload_file_minidump\"; "
            "filename=\"crash.dmp\"\r\nContent-Type: application/octet-stream\r\n\r\nMDMP"
            "\r\n--corvan-0123--\r\n");
  EXPECT_EQ(Header(request, "Content-Length"), std::to_string(Body(request).size()));
}

TEST_F(Upload, FileThatShrinksWhileSentFails) {
  files.files["C:\\big.bin"] = {std::string(300000, 'x'), 100000};
  job.files = {{"C:\\big.bin", "big.bin", "Big"}};
  network.peers["reports.test"].Answer(kOk);
  EXPECT_FALSE(Run());
  EXPECT_EQ(Sent().find("--" + B + "--"), std::string::npos);
}

TEST_F(Upload, ProxiedRequestUsesTheAbsoluteUri) {
  network.peers["proxy.test"].Answer(kOk);
  ASSERT_TRUE(Run("http=proxy.test:3128;https=other:443"));
  EXPECT_EQ(network.connects, std::vector<std::string>{"proxy.test:3128"});
  EXPECT_TRUE(
      Sent("proxy.test")
          .starts_with(
              "POST http://reports.test:80/cgi/upload HTTP/1.1\r\nHost: reports.test:80\r\n"));
}

// Without a trusted TLS channel nothing of the report leaves: directly, and
// through the proxy's tunnel (whose CONNECT is all the proxy sees).
TEST_F(Upload, HttpsNeverFallsBackToClearText) {
  job.uploadUrl = "https://reports.test/cgi/upload";
  job.account = "user";
  network.tls = false;
  network.peers["reports.test"];
  network.peers["proxy.test"].Answer("HTTP/1.1 200 Connection established\r\n\r\n");
  HttpUpload upload(network, files, progress, browser);
  EXPECT_FALSE(upload.Run(job, ""));
  EXPECT_EQ(Sent(), "");
  EXPECT_NE(upload.failure(), "");
  EXPECT_FALSE(upload.Run(job, "proxy.test:3128"));
  EXPECT_EQ(Sent("proxy.test"),
            "CONNECT reports.test:443 HTTP/1.1\r\nHost: reports.test:443\r\n\r\n");
  EXPECT_EQ(network.connects, (std::vector<std::string>{"reports.test:443", "proxy.test:3128"}));
}

TEST_F(Upload, ProxySettings) {
  EXPECT_EQ(ParseProxySetting("proxy:8080"), (HostPort{"proxy", 8080}));
  EXPECT_EQ(ParseProxySetting("http://proxy:8080/"), (HostPort{"proxy", 8080}));
  EXPECT_EQ(ParseProxySetting("ftp=f:21 http=h:81 https=s:443"), (HostPort{"h", 81}));
  EXPECT_EQ(ParseProxySetting("ftp=f:21 http=h:81;https=s:443", true), (HostPort{"s", 443}));
  EXPECT_EQ(ParseProxySetting("https=s:8443", true), (HostPort{"s", 8443}));
  EXPECT_FALSE(ParseProxySetting("https=s:8443"));
  EXPECT_FALSE(ParseProxySetting("http=h:81", true));
  EXPECT_EQ(ParseProxySetting("all:3128", true), (HostPort{"all", 3128}));
  EXPECT_FALSE(ParseProxySetting(""));
  EXPECT_FALSE(ParseProxySetting("proxy"));
  EXPECT_FALSE(ParseProxySetting("proxy:http"));
  EXPECT_FALSE(ParseProxySetting("proxy:70000"));
  EXPECT_FALSE(ParseProxySetting(":80"));
}

TEST_F(Upload, UrlForms) {
  const UploadTarget plain = SplitUploadUrl("http://reports.test/a/b?c", 80);
  EXPECT_EQ(plain.server, (HostPort{"reports.test", 80}));
  EXPECT_EQ(plain.path, "/a/b?c");
  const UploadTarget bare = SplitUploadUrl("reports.test", 8080);
  EXPECT_EQ(bare.server, (HostPort{"reports.test", 8080}));
  EXPECT_EQ(bare.path, "/");
  const UploadTarget ported = SplitUploadUrl("http://reports.test:8081/up", 80);
  EXPECT_EQ(ported.server, (HostPort{"reports.test", 8081}));
  EXPECT_EQ(ported.path, "/up");
  EXPECT_FALSE(ported.secure);
  const UploadTarget secure = SplitUploadUrl("HTTPS://reports.test/up", 80);
  EXPECT_EQ(secure.server, (HostPort{"reports.test", 443}));
  EXPECT_TRUE(secure.secure);
  EXPECT_EQ(SplitUploadUrl("https://reports.test/up", 8443).server.port, 8443);
  EXPECT_EQ(SplitUploadUrl("https://reports.test:9443/up", 80).server.port, 9443);
  EXPECT_EQ(SplitUploadUrl("https://reports.test/up?x=http=evil:1", 80).server,
            (HostPort{"reports.test", 443}));
}

TEST_F(Upload, Answers) {
  using V = UploadAnswer::Verdict;
  EXPECT_EQ(JudgeUploadAnswer("HTTP/1.1 200 OK\r\n").verdict, V::kUndecided);
  EXPECT_EQ(JudgeUploadAnswer("HTTP/1.1 200 OK\r\n\r\n").verdict, V::kAccepted);
  EXPECT_EQ(JudgeUploadAnswer("HTTP/1.1 100 Continue\r\n\r\n").verdict, V::kUndecided);
  EXPECT_EQ(JudgeUploadAnswer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n").verdict,
            V::kAccepted);
  EXPECT_EQ(JudgeUploadAnswer("HTTP/1.1 404 Not Found\r\n\r\n").verdict, V::kRejected);
  EXPECT_EQ(JudgeUploadAnswer("SSH-2.0-OpenSSH\r\n\r\n").verdict, V::kRejected);
  EXPECT_EQ(JudgeUploadAnswer("HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n").verdict,
            V::kRejected);
  const UploadAnswer moved =
      JudgeUploadAnswer("HTTP/1.1 302 Found\r\nX: 1\r\nlocation:  http://x/thanks \r\n\r\n");
  EXPECT_EQ(moved.verdict, V::kRelocated);
  EXPECT_EQ(moved.location, "http://x/thanks");
  EXPECT_TRUE(IsWebPage("HTTPS://x/"));
  EXPECT_FALSE(IsWebPage("file:///c:/windows/system32/calc.exe"));
  EXPECT_FALSE(IsWebPage("http://"));
}

// A relocation opens in the browser only on the upload's own host, and
// only written so that every browser reads that host.
TEST(HttpUpload, SecurityRelocationOpensOnlyTheUploadsOwnHost) {
  const struct {
    const char* url;
    bool open;
  } cases[] = {
      {"http://reports.test/thanks", true},
      {"HTTPS://REPORTS.TEST:8443/t?x=1#y", true},
      {"http://reports.test", true},
      {"http://reports.test?x", true},
      {"http://evil.example/", false},
      {"http://reports.test.evil.example/", false},
      {"http://reports.test@evil.example/", false},
      {"http://evil.example\\@reports.test/", false},
      {"http://evil.example\\reports.test/", false},
      {"http://reports.test:80@evil.example/", false},
      {"http://reports.test:/", false},
      {"http://reports.test:8x/", false},
      {"http://reports.test /", false},
      {"http://reports.test/\tx", false},
      {"http://reports.t\xC3\xA9st/", false},
      {"/thanks", false},
      {"file://reports.test/c$/x.exe", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsOwnWebPage(c.url, "reports.test"), c.open) << c.url;
  EXPECT_FALSE(IsOwnWebPage("http://x/", ""));
}

TEST_F(Upload, AnswerInPiecesAndRelocations) {
  job.uploadUrl = "https://reports.test/cgi/upload";
  network.peers["reports.test"].Answer(
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 302 Found\r\n"
      "Location: https://Reports.Test/thanks\r\n\r\n",
      3);
  ASSERT_TRUE(Run());
  EXPECT_EQ(browser.opened, std::vector<std::string>{"https://Reports.Test/thanks"});
  network.peers["reports.test"].Answer("HTTP/1.1 302 Found\r\nLocation: calc.exe\r\n\r\n");
  EXPECT_TRUE(Run());
  EXPECT_EQ(browser.opened.size(), 1u);
  // Another host is no success, and nothing opens.
  network.peers["reports.test"].Answer(
      "HTTP/1.1 302 Found\r\nLocation: http://evil.example/\r\n\r\n");
  EXPECT_FALSE(Run());
  EXPECT_EQ(browser.opened.size(), 1u);
  network.peers["reports.test"].Answer("HTTP/1.1 500 Broken\r\n\r\n");
  EXPECT_FALSE(Run());
  network.peers["reports.test"].Answer("HTTP/1.1 200 OK\r\n");  // then closes
  EXPECT_FALSE(Run());
  EXPECT_FALSE(Run());  // closes at once
}

// Sent means the server has it: the format's own answer from the upload's
// own host, after that host's relocations (http to https included) only.
TEST_F(Upload, SentOnlyOnTheFormatsAnswerFromItsOwnHost) {
  const std::string crashOk = "HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\nCrashID=bp-0123\n";
  const std::string https = "https://reports.test/up", http = "http://reports.test/up";
  const struct {
    const char* name;
    std::string url;
    bool crashServer;
    std::vector<std::string> answers;  // of reports.test, one per connection
    bool sent;
    std::vector<std::string> connects;
  } cases[] = {
      {"captive page of another host",
       http,
       false,
       {"HTTP/1.1 302 Found\r\nLocation: http://portal.example/login\r\n\r\n"},
       false,
       {"reports.test:80"}},
      {"303 to another host",
       https,
       false,
       {"HTTP/1.1 303 See Other\r\nLocation: https://portal.example/\r\n\r\n"},
       false,
       {"reports.test:443"}},
      {"307 to another host",
       https,
       false,
       {"HTTP/1.1 307 Temporary Redirect\r\nLocation: https://portal.example/up\r\n\r\n"},
       false,
       {"reports.test:443"}},
      {"http to https on the same host",
       http,
       false,
       {"HTTP/1.1 301 Moved\r\nLocation: https://reports.test/up\r\n\r\n", kOk},
       true,
       {"reports.test:80", "reports.test:443"}},
      {"https to http",
       https,
       false,
       {"HTTP/1.1 301 Moved\r\nLocation: http://reports.test/up\r\n\r\n", kOk},
       false,
       {"reports.test:443"}},
      {"crash id", https, true, {crashOk}, true, {"reports.test:443"}},
      {"crash id, chunked",
       https,
       true,
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: "
        "chunked\r\n\r\n10\r\nCrashID=bp-0123\n\r\n0\r\n\r\n"},
       true,
       {"reports.test:443"}},
      {"crash id, until close",
       https,
       true,
       {"HTTP/1.1 200 OK\r\n\r\nCrashID=bp-0123"},
       true,
       {"reports.test:443"}},
      {"crash server without id", https, true, {kOk}, false, {"reports.test:443"}},
      {"crash server's 302 to https",
       http,
       true,
       {"HTTP/1.1 302 Found\r\nLocation: https://reports.test/up\r\n\r\n", crashOk},
       true,
       {"reports.test:80", "reports.test:443"}},
      {"crash server's answer page",
       https,
       true,
       {"HTTP/1.1 303 See Other\r\nLocation: /thanks\r\n\r\n", crashOk},
       false,
       {"reports.test:443"}},
  };
  for (const auto& c : cases) {
    network = FakeNetwork();
    network.tls = true;
    network.peers["portal.example"].Answer(c.crashServer ? crashOk : kOk);
    for (const std::string& answer : c.answers)
      network.peers["reports.test"].answers.push_back(answer);
    job.uploadUrl = c.url;
    job.crashServer = c.crashServer;
    EXPECT_EQ(Run(), c.sent) << c.name << ": " << failure;
    EXPECT_EQ(network.connects, c.connects) << c.name;
  }
}

TEST_F(Upload, NothingInClearTextUnlessTheSettingsSaySo) {
  policy = {};
  network.peers["reports.test"].Answer(kOk);
  EXPECT_FALSE(Run());
  policy.clearText = true;
  job.account = "user";
  EXPECT_FALSE(Run());
  EXPECT_FALSE(Run("proxy.test:3128"));
  EXPECT_TRUE(network.connects.empty()) << network.connects[0];
  job.uploadUrl = "https://reports.test/cgi/upload";
  ASSERT_TRUE(Run()) << failure;
  EXPECT_EQ(Header(Sent(), "Authorization"), "Basic dXNlcjo=");
  EXPECT_EQ(Sent().find("Encryption"), std::string::npos);
}

TEST_F(Upload, DrippedAnswerEndsAtItsLimit) {
  tick = 60 * 1000;
  network.peers["reports.test"].Answer(kOk, 1);
  EXPECT_FALSE(Run());
  EXPECT_LE(network.peers["reports.test"].receiveCalls, 3);
}

TEST_F(Upload, HttpsOnlyProxyListTunnels) {
  job.uploadUrl = "https://reports.test/up";
  network.peers["proxy.test"].Answer("HTTP/1.1 200 Connection established\r\n\r\n");
  network.peers["proxy.test"].Answer(kOk);
  ASSERT_TRUE(Run("https=proxy.test:3128")) << failure;
  EXPECT_TRUE(Sent("proxy.test")
                  .starts_with("CONNECT reports.test:443 HTTP/1.1\r\nHost: reports.test:443\r\n"
                               "\r\n<TLS>POST /up HTTP/1.1\r\n"));
}

}  // namespace
}  // namespace corvan::crash
