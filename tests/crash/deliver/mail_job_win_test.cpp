// The delivery transports on Windows Sockets under Wine, against real
// peers on loopback (started by mail_peers.sh): aiosmtpd in several modes,
// an upload target that parses the multipart body, and tinyproxy. What the
// peers received is read back through their summaries.
#include <winsock2.h>
// winsock2.h before windows.h
#include <gtest/gtest.h>

#include <atomic>

#include "common/WinHandles.h"
#include "crash/core/MemorySettings.h"
#include "crash/core/SettingsStream.h"
#include "crash/deliver/BugReportDelivery.h"
#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/HttpUpload.h"
#include "crash/deliver/MailJob.h"
#include "crash/deliver/MimeMessage.h"
#include "crash/deliver/MailPeerFiles.h"

namespace corvan::crash {
namespace {

using test::AttachmentFolderFixture;
using test::Env;
using test::PeerSummary;
using test::ReadWholeFile;
using test::StoredCount;

constexpr char kBody[] = "please find the bug report attached\r\n.\r\n.. and more\r\nthe end";

std::uint16_t Port(const std::string& name) {
  return static_cast<std::uint16_t>(std::atoi(Env(name.c_str()).c_str()));
}

class RecordingOpener final : public PageOpener {
 public:
  void Open(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

class Delivery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("CORVAN_UPLOAD_PORT").empty()) << "run through mail_peers.sh";
    job.sender = "zelExcept <desk@corvan.test>";
    job.recipients = "Help Desk <desk@corvan.test>; second@corvan.test;";
    job.subject = "bug report";
    job.body = kBody;
    // Most peers speak clear text; the TLS tests say what they want.
    job.tls = MailTls::kOff;
    job.files = {{files.Path("bugreport.txt"), "bugreport.txt", "BugReport"},
                 {files.Path("screenShot.png"), "screenshot.png", "ScreenShot"},
                 {files.Path("empty.log"), "empty.log", "Log"},
                 {files.Path("missing.txt"), "missing.txt", "Missing"}};
  }

  // The job through the SMTP peer of one mode.
  bool SendTo(const std::string& mode) {
    dir = Env(("CORVAN_SMTP_" + mode + "_DIR").c_str());
    job.server = "127.0.0.1";
    job.port = Port("CORVAN_SMTP_" + mode + "_PORT");
    before = StoredCount(dir);
    return RunTransport(job, nullptr);
  }
  int NewMessages() const { return StoredCount(dir) - before; }
  std::string Stored(const std::string& suffix) const {
    return ReadWholeFile(dir + "\\" + std::to_string(StoredCount(dir)) + suffix);
  }
  PeerSummary Summary() const {
    return PeerSummary(dir + "\\" + std::to_string(StoredCount(dir)) + ".txt");
  }

  AttachmentFolderFixture files;
  MailJob job;
  std::string dir;
  int before = 0;
};

TEST_F(Delivery, MessageWithAttachmentsArrivesIntact) {
  ASSERT_TRUE(SendTo("PLAIN"));
  ASSERT_EQ(NewMessages(), 1);
  const PeerSummary mail = Summary();
  EXPECT_EQ(mail.Value("mail_from"), "desk@corvan.test");
  EXPECT_EQ(mail.Value("rcpt_to"), "desk@corvan.test,second@corvan.test");
  EXPECT_EQ(mail.Value("defects"), "0");
  EXPECT_EQ(mail.Value("header To"), "Help Desk <desk@corvan.test>, <second@corvan.test>");
  EXPECT_EQ(mail.Value("header From"), "zelExcept <desk@corvan.test>");
  EXPECT_EQ(mail.Value("header Subject"), "bug report");
  EXPECT_EQ(mail.Value("header MIME-Version"), "1.0");
  EXPECT_EQ(mail.Value("header Message-ID").size(), 28u);
  // The text part comes back with its dot lines as written.
  EXPECT_EQ(Stored(".body"), kBody);
  // Empty and missing files are not sent.
  EXPECT_EQ(mail.Lines("part "),
            (std::vector<std::string>{"part 1 application/octet-stream bugreport.txt",
                                      "part 2 image/png screenshot.png"}));
  EXPECT_EQ(mail.Lines("part_defects"),
            (std::vector<std::string>{"part_defects 1 0", "part_defects 2 0"}));
  EXPECT_EQ(Stored(".part1"), files.report);
  EXPECT_EQ(Stored(".part2"), files.binary);
}

TEST_F(Delivery, PlainMessageKeepsItsDotLines) {
  job.files.clear();
  ASSERT_TRUE(SendTo("PLAIN"));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_EQ(Summary().Value("header MIME-Version"), "<none>");
  EXPECT_EQ(Stored(".body"), std::string(kBody) + "\r\n");
}

TEST_F(Delivery, FilesWithoutSubjectAndBodyAreStillSent) {
  job.subject.clear();
  job.body.clear();
  ASSERT_TRUE(SendTo("PLAIN"));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_EQ(Stored(".part1"), files.report);
}

TEST_F(Delivery, AuthLoginWithTheAccount) {
  job.account = "user";
  job.password = "secret";
  job.clearTextAuth = true;
  ASSERT_TRUE(SendTo("AUTH"));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_EQ(Summary().Value("login"), "user");

  job.password = "wrong";
  EXPECT_FALSE(SendTo("AUTH"));
  EXPECT_EQ(NewMessages(), 0);
}

// Without TLS the password goes nowhere unless allowed; then AUTH PLAIN
// serves where LOGIN is not offered.
TEST_F(Delivery, AccountWithoutTlsOrAuthLogin) {
  job.account = "user";
  job.password = "secret";
  EXPECT_FALSE(SendTo("NOAUTHLOGIN"));
  EXPECT_EQ(NewMessages(), 0);
  job.clearTextAuth = true;
  ASSERT_TRUE(SendTo("NOAUTHLOGIN"));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_EQ(Summary().Value("login"), "user");
}

// Under the default a server without STARTTLS gets nothing of the report.
TEST_F(Delivery, DefaultSendsNothingWithoutTls) {
  job.tls = MailTls::kAuto;
  EXPECT_FALSE(SendTo("PLAIN"));
  EXPECT_EQ(NewMessages(), 0);
}

// aiosmtpd requiring STARTTLS and AUTH over TLS only, and with TLS from the
// first byte; its certificate names 127.0.0.1 under the trusted test root.
TEST_F(Delivery, OverTlsArrivesIntact) {
  job.account = "user";
  job.password = "secret";
  for (const MailTls tls : {MailTls::kAuto, MailTls::kStartTls}) {
    job.tls = tls;
    ASSERT_TRUE(SendTo("STARTTLS"));
    ASSERT_EQ(NewMessages(), 1);
    EXPECT_EQ(Summary().Value("login"), "user");
    EXPECT_EQ(Summary().Value("tls"), "yes");
    EXPECT_EQ(Stored(".part2"), files.binary);
  }
  job.tls = MailTls::kImplicit;
  ASSERT_TRUE(SendTo("IMPLICIT"));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_EQ(Summary().Value("login"), "user");
  EXPECT_EQ(Stored(".part2"), files.binary);
  job.tls = MailTls::kOff;
  EXPECT_FALSE(SendTo("STARTTLS"));
  EXPECT_EQ(NewMessages(), 0);
}

// RFC 5321 gives the end of DATA 10 minutes: an answer after 30 s is a
// delivery, not a failure to be sent again elsewhere.
TEST_F(Delivery, LateAcceptanceIsDelivered) {
  ASSERT_TRUE(SendTo("LATE"));
  EXPECT_EQ(NewMessages(), 1);
}

TEST_F(Delivery, SlowAndSplitRepliesAreWaitedFor) {
  ASSERT_TRUE(SendTo("SLOW"));
  EXPECT_EQ(NewMessages(), 1);
  job.account = "user";
  job.password = "secret";
  job.clearTextAuth = true;
  ASSERT_TRUE(SendTo("SPLIT"));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_EQ(Summary().Value("login"), "user");
  EXPECT_EQ(Stored(".part2"), files.binary);
}

TEST_F(Delivery, AcceptedMessageCountsAsSentWhenQuitGetsNoAnswer) {
  ASSERT_TRUE(SendTo("DROP"));
  EXPECT_EQ(NewMessages(), 1);
}

TEST_F(Delivery, RefusedConnectionFails) {
  job.server = "127.0.0.1";
  job.port = 1;
  EXPECT_FALSE(RunTransport(job, nullptr));
}

class Upload : public Delivery {
 protected:
  void SetUp() override {
    Delivery::SetUp();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    dir = Env("CORVAN_UPLOAD_DIR");
    job.port = Port("CORVAN_UPLOAD_PORT");
    job.recipients.clear();
    job.uploadFields = {
        {"MailFrom", job.sender}, {"MailSubject", "bug report"}, {"Version", "1.2"}};
  }
  void TearDown() override { WSACleanup(); }

  bool Post(const std::string& path, const std::string& proxy = "") {
    return PostTo("http://127.0.0.1" + path, proxy);
  }
  bool PostTo(const std::string& url, const std::string& proxy = "") {
    job.uploadUrl = url;
    before = StoredCount(dir);
    WinDeliveryNetwork network;
    StdioDeliveryFiles disk;
    NoProgress progress;
    // The plain-http peers need the settings' consent to clear text.
    HttpUpload upload(network, disk, progress, browser, UploadPolicy{true, true});
    const bool sent = upload.Run(job, proxy);
    failure = upload.failure();
    return sent;
  }
  std::string Https(const char* server, const std::string& host = "localhost") {
    return "https://" + host + ":" +
           Env(("CORVAN_HTTPS_" + std::string(server) + "_PORT").c_str()) + "/secure";
  }

  RecordingOpener browser;
  std::string failure;
};

// nginx with a certificate from the test root the prefix trusts, passing
// the upload on to the target.
TEST_F(Upload, OverHttpsArrivesIntact) {
  job.account = "user";
  job.password = "secret";
  ASSERT_TRUE(PostTo(Https("GOOD"))) << failure;
  ASSERT_EQ(NewMessages(), 1);
  const PeerSummary request = Summary();
  EXPECT_EQ(request.Value("request"), "POST /secure HTTP/1.0");  // as nginx passes it on
  EXPECT_EQ(request.Value("header Authorization"), "Basic dXNlcjpzZWNyZXQ=");
  EXPECT_EQ(request.Value("defects"), "0");
  EXPECT_EQ(Stored(".file.BugReport"), files.report);
  EXPECT_EQ(Stored(".file.ScreenShot"), files.binary);
  ASSERT_TRUE(PostTo(Https("GOOD", "127.0.0.1"))) << failure;
  EXPECT_EQ(NewMessages(), 1);
}

// The crash servers' convention through RunTransport (with its random
// boundary): the dump arrives byte for byte as upload_file_minidump.
TEST_F(Upload, CrashServerConvention) {
  job.crashServer = true;
  job.files = {{files.Path("bugreport.txt"), "bugreport.txt", "BugReport"},
               {files.Path("screenShot.png"), "crash.dmp", "MiniDump"}};
  job.uploadFields = {{"prod", "CorVAN NG"}, {"ver", "1.2"}};
  job.uploadUrl = "127.0.0.1/crash-server";
  before = StoredCount(dir);
  ASSERT_TRUE(RunTransport(job, nullptr));
  ASSERT_EQ(NewMessages(), 1);
  const PeerSummary request = Summary();
  EXPECT_EQ(request.Value("defects"), "0");
  EXPECT_EQ(request.Value("header Content-Type").find(std::string(kMimeBoundary)),
            std::string::npos);
  EXPECT_EQ(Stored(".field.prod"), "CorVAN NG");
  EXPECT_EQ(Stored(".file.upload_file_minidump"), files.binary);
  EXPECT_EQ(Stored(".file.BugReport"), files.report);
}

// A certificate for another name or from a root nobody trusts ends the
// upload before any of it is sent (the target behind nginx gets nothing).
TEST_F(Upload, UntrustedHttpsServersGetNothing) {
  const struct {
    std::string url;
    const char* reason;
  } cases[] = {
      {Https("OTHER"), "the server's certificate is for other.test, not for localhost"},
      {Https("STRANGER"), "not issued by an authority this computer trusts"},
      {Https("OTHER", "127.0.0.1"), "is for other.test, not for 127.0.0.1"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(PostTo(c.url)) << c.url;
    EXPECT_NE(failure.find(c.reason), std::string::npos) << c.url << ": " << failure;
    EXPECT_EQ(NewMessages(), 0) << c.url;
  }
}

TEST_F(Upload, FieldsAndFilesArriveIntact) {
  job.account = "user";
  job.password = "secret";
  ASSERT_TRUE(Post("/reports/new"));
  ASSERT_EQ(NewMessages(), 1);
  const PeerSummary request = Summary();
  EXPECT_EQ(request.Value("request"), "POST /reports/new HTTP/1.1");
  EXPECT_EQ(request.Value("header Host"), "127.0.0.1:" + Env("CORVAN_UPLOAD_PORT"));
  EXPECT_EQ(request.Value("header From"), "<desk@corvan.test>");
  EXPECT_EQ(request.Value("header Authorization"), "Basic dXNlcjpzZWNyZXQ=");
  EXPECT_EQ(request.Value("announced"), request.Value("received"));
  EXPECT_EQ(request.Value("extra"), "0");
  EXPECT_EQ(request.Value("defects"), "0");
  EXPECT_EQ(request.Lines("field "),
            (std::vector<std::string>{"field MailFrom", "field MailSubject", "field Version"}));
  EXPECT_EQ(request.Lines("file "),
            (std::vector<std::string>{"file BugReport bugreport.txt",
                                      "file ScreenShot screenshot.png", "file Log empty.log"}));
  EXPECT_EQ(Stored(".field.MailFrom"), job.sender);
  EXPECT_EQ(Stored(".field.Version"), "1.2");
  EXPECT_EQ(Stored(".file.BugReport"), files.report);
  EXPECT_EQ(Stored(".file.ScreenShot"), files.binary);
  EXPECT_EQ(Stored(".file.Log"), "");
  EXPECT_TRUE(browser.opened.empty());
}

TEST_F(Upload, NothingButTheClosingBoundary) {
  job.uploadFields.clear();
  job.files.clear();
  ASSERT_TRUE(Post("/empty"));
  const PeerSummary request = Summary();
  EXPECT_EQ(request.Value("announced"), request.Value("received"));
  EXPECT_EQ(request.Value("extra"), "0");
  EXPECT_TRUE(request.Lines("field ").empty());
}

TEST_F(Upload, ThroughTheProxy) {
  ASSERT_TRUE(Post("/proxied", "127.0.0.1:" + Env("CORVAN_PROXY_PORT")));
  ASSERT_EQ(NewMessages(), 1);
  const PeerSummary request = Summary();
  EXPECT_NE(request.Value("header Via"), "<none>");  // tinyproxy's mark
  EXPECT_EQ(request.Value("announced"), request.Value("received"));
  EXPECT_EQ(Stored(".file.ScreenShot"), files.binary);
}

TEST_F(Upload, AnswersDecideTheResult) {
  EXPECT_TRUE(Post("/continue"));
  EXPECT_FALSE(Post("/fail"));
  EXPECT_TRUE(browser.opened.empty());
  EXPECT_TRUE(Post("/moved"));
  EXPECT_EQ(browser.opened, std::vector<std::string>{"http://127.0.0.1:1/thanks"});
  EXPECT_FALSE(Post("/moved-ftp"));
  EXPECT_EQ(browser.opened.size(), 1u);
}

TEST_F(Upload, RunTransportUploadsWithoutASystemProxy) {
  EXPECT_EQ(FindProxy(), "");
  job.uploadUrl = "127.0.0.1/through-run";
  before = StoredCount(dir);
  ASSERT_TRUE(RunTransport(job, nullptr));
  EXPECT_EQ(NewMessages(), 1);
}

// Run a second time by mail_peers.sh, with http_proxy naming tinyproxy
// (which WinINet reports as the system's proxy).
TEST_F(Upload, ThroughTheSystemProxy) {
  if (Env("CORVAN_SYSTEM_PROXY").empty()) GTEST_SKIP() << "runs with http_proxy set";
  EXPECT_EQ(ParseProxySetting(FindProxy()), (HostPort{"127.0.0.1", Port("CORVAN_PROXY_PORT")}));
  job.uploadUrl = "127.0.0.1/system-proxy";
  before = StoredCount(dir);
  ASSERT_TRUE(RunTransport(job, nullptr));
  ASSERT_EQ(NewMessages(), 1);
  EXPECT_NE(Summary().Value("header Via"), "<none>");  // tinyproxy's mark
  EXPECT_EQ(Stored(".file.ScreenShot"), files.binary);
}

class Preparation : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = MakeRef<ReporterSettings>(env.exe, records, env, false);
    list = MakeRef<AttachmentList>();
    list->AddFile(files.Path("bugreport.txt"), "bugreport.txt", "BugReport", "report.zip");
    list->AddFile(files.Path("missing.txt"), "missing.txt", "Missing", "REPORT.ZIP");
    list->AddFile(files.Path("screenShot.png"), "screenshot.png", "ScreenShot", "report.zip");
    list->AddFile("empty.log", "empty.log", "Log");
  }
  // A hidden send without AutoSendBox shows no window.
  PreparedAttachments Prepare(const std::string& tempFolder) {
    return PrepareAttachmentFiles(*settings, *list, nullptr, true, false, files.Path(""),
                                  tempFolder);
  }

  test::MemorySettingsRecords records;
  test::FakeEnvironment env;
  AttachmentFolderFixture files;
  Ref<ReporterSettings> settings;
  Ref<AttachmentList> list;
};

TEST_F(Preparation, SharedZipNameMakesOneArchive) {
  const std::string archive = files.Path("report.zip");
  const PreparedAttachments prepared = Prepare(files.Path(""));
  EXPECT_EQ(prepared.files,
            (std::vector<PreparedFile>{{archive, "report.zip", "report.zip"},
                                       {files.Path("empty.log"), "empty.log", "Log"}}));
  EXPECT_TRUE(prepared.progress);
  const std::string zip = test::ReadWholeFile(archive);
  EXPECT_EQ(zip.substr(0, 4), "PK\x03\x04");
  EXPECT_NE(zip.find("screenshot.png"), std::string::npos);
  DeleteFileA(archive.c_str());
}

TEST_F(Preparation, UnwritableArchiveSendsTheFilesUnpacked) {
  const PreparedAttachments prepared = Prepare(files.Path("no such folder\\"));
  EXPECT_EQ(prepared.files, (std::vector<PreparedFile>{
                                {files.Path("bugreport.txt"), "bugreport.txt", "BugReport"},
                                {files.Path("screenShot.png"), "screenshot.png", "ScreenShot"},
                                {files.Path("empty.log"), "empty.log", "Log"}}));
}

// A report sent in the background: delivery over aiosmtpd in a thread of
// its own whose handle the caller owns.
class ReportOnDisk final : public DeliveryReport {
 public:
  ReportOnDisk(Ref<ReporterSettings> settings, std::string file, std::string folder)
      : settings_(std::move(settings)), file_(std::move(file)), folder_(std::move(folder)) {}
  ReporterSettings& Settings() override { return *settings_; }
  std::string BugReportFile() override { return file_; }
  bool SavedToFile() override { return true; }
  bool SaveInto(const std::string&) override { return false; }
  void MarkSent() override { sent = true; }
  void MarkHandedOver() override { handedOver = true; }
  void MarkRefused() override { handedOver = false; }
  std::string TempFolder() override { return folder_; }
  std::string ExeFolder() override { return folder_; }

  std::atomic<bool> sent{false}, handedOver{false};

 private:
  Ref<ReporterSettings> settings_;
  std::string file_, folder_;
};

class BackgroundSend : public ::testing::Test {
 protected:
  Ref<ReportOnDisk> Report(const std::string& recipients, bool mailClient) {
    dir = Env("CORVAN_SMTP_SLOW_DIR");
    before = StoredCount(dir);
    records.resources[env.exe] = WriteSettingsStream(
        {Setting::Bool("MailAsSmtpClient", true), Setting::Str("SmtpServer", "127.0.0.1"),
         Setting::Int("SmtpPort", Port("CORVAN_SMTP_SLOW_PORT")), Setting::Str("SmtpTls", "off"),
         Setting::Str("MailAddr", recipients), Setting::Bool("MailViaMapi", mailClient),
         Setting::Bool("MailViaMailto", false), Setting::Bool("AttachBugRep", true),
         Setting::Bool("AttachBugRepFile", true), Setting::Bool("DelBugRepFile", false),
         Setting::Str("AddAttachs", ""), Setting::Bool("AutoSendBox", false)});
    return MakeRef<ReportOnDisk>(MakeRef<ReporterSettings>(env.exe, records, env, true),
                                 files.Path("bugreport.txt"), files.Path("temp\\"));
  }

  test::MemorySettingsRecords records;
  test::FakeEnvironment env;
  AttachmentFolderFixture files;
  std::string dir;
  int before = 0;
};

TEST_F(BackgroundSend, ThreadIsTheCallersAndDeliversOnce) {
  CreateDirectoryA(files.Path("temp").c_str(), nullptr);
  Ref<ReportOnDisk> report = Report("desk@corvan.test", false);
  HANDLE thread = INVALID_HANDLE_VALUE;
  EXPECT_EQ(
      DeliverBugReport("the report\r\n", nullptr, nullptr, true, true, *report, false, &thread),
      SendResult::Sent);
  ASSERT_NE(thread, nullptr);
  ASSERT_NE(thread, INVALID_HANDLE_VALUE);
  ScopedHandle owned(thread);
  // Every reply of this peer comes half a second late: the call did not wait.
  EXPECT_EQ(WaitForSingleObject(owned.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(report->sent);
  ASSERT_EQ(WaitForSingleObject(owned.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(report->sent);
  EXPECT_TRUE(report->handedOver);
  ASSERT_EQ(StoredCount(dir) - before, 1);
  const PeerSummary mail(dir + "\\" + std::to_string(StoredCount(dir)) + ".txt");
  EXPECT_EQ(mail.Value("rcpt_to"), "desk@corvan.test");
  EXPECT_EQ(mail.Lines("part ").size(), 1u);
  DeleteFileA(files.Path("temp\\bugreport.txt").c_str());
  RemoveDirectoryA(files.Path("temp").c_str());
}

// Nobody to send to and nobody to ask: not sent, and no thread to count as
// sent.
TEST_F(BackgroundSend, HiddenSendWithoutRecipientsIsNotSent) {
  Ref<ReportOnDisk> report = Report(" ; ", true);
  HANDLE thread = INVALID_HANDLE_VALUE;
  EXPECT_EQ(
      DeliverBugReport("the report\r\n", nullptr, nullptr, true, true, *report, false, &thread),
      SendResult::Failed);
  EXPECT_EQ(thread, nullptr);
  EXPECT_FALSE(report->sent);
  EXPECT_EQ(StoredCount(dir), before);
}

}  // namespace
}  // namespace corvan::crash
