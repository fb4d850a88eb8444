// A fault of exception_box_probe sent in the background through SMTP and
// through the HTTP upload, to aiosmtpd and the upload target (started by
// mail_peers.sh): the report, the screenshot of the whole screen and the
// minidump arrive byte for byte as the reporter wrote them. Both peers
// answer late, so the files are still in the probe's folder when the peer
// has stored what it received.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/KeptReports.h"
#include "crash/deliver/MailPeerFiles.h"
#include "crash/ui/ProbeDriver.h"

namespace corvan::crash {
namespace {

using test::Env;
using test::Probe;
using test::ReadWholeFile;
using test::StoredCount;
using test::WaitFor;

// The file of the probe's folder whose name ends with suffix; empty if none.
std::string FileEndingIn(const std::string& folder, const std::string& suffix) {
  for (const std::string& name : corvan::test::FolderNames(folder)) {
    if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix)
      return folder + "\\" + name;
  }
  return {};
}

std::uint32_t BigEndian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = value << 8 | std::uint8_t(bytes[at + i]);
  return value;
}

// One fault sent without a box, with the screenshot of the whole screen
// and the minidump; channelSettings pick the channel.
class Delivery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("CORVAN_UPLOAD_PORT").empty()) << "run through mail_peers.sh";
    corvan::test::ClearKeptReports("exception_box_probe");
  }
  void TearDown() override { corvan::test::ClearKeptReports("exception_box_probe"); }

  // Sends and, once the peer in dir stored its request, takes what the
  // probe's folder holds: report copy, screenshot, dump.
  void Send(const std::vector<std::string>& channelSettings, const std::string& dir) {
    std::vector<std::string> settings = {"SendInBackgr=true",    "AutoSend=true",
                                         "GnShowCfg=4",          "MiniDump=true",
                                         "BugRepZip=",           "ScrShotZip=",
                                         "ScrShotAppOnly=false", "ScrShotDepth=8",
                                         "GnNoScrShot=false",    "AttachBugRepFile=false",
                                         "KeepUnsent=false",     "MailViaMapi=false",
                                         "MailViaMailto=false",  "MailAddr=desk@corvan.test"};
    settings.insert(settings.begin(), channelSettings.begin(), channelSettings.end());
    settings.insert(settings.begin(), "1");
    const int before = StoredCount(dir);
    Probe probe(settings, "faults");
    ASSERT_TRUE(probe.Started());
    const std::string folder = test::ProbeReporterFolder(probe.Id());
    ASSERT_TRUE(WaitFor([&] { return StoredCount(dir) == before + 1; })) << probe.Log();
    request_ = dir + "\\" + std::to_string(before + 1);
    screenshot_ = ReadWholeFile(FileEndingIn(folder, ".png"));
    dump_ = ReadWholeFile(FileEndingIn(folder, ".dmp"));
    dumpName_ = FileEndingIn(folder, ".dmp");
    dumpName_ = dumpName_.substr(dumpName_.rfind('\\') + 1);
    probe.LetGo();
    EXPECT_EQ(probe.Exit(), 0u);
    EXPECT_NE(probe.Log().find("continued"), std::string::npos);
  }

  // The screenshot as sent: a PNG of the whole screen, as the probe had it.
  void ExpectScreenshot(const std::string& sent) {
    ASSERT_GT(screenshot_.size(), 33u) << "the screenshot was gone before the send ended";
    EXPECT_TRUE(sent == screenshot_) << sent.size() << " bytes sent of " << screenshot_.size();
    EXPECT_TRUE(test::WholePng(sent));
    EXPECT_EQ(sent.substr(12, 4), "IHDR");
    EXPECT_EQ(BigEndian(sent, 16), std::uint32_t(GetSystemMetrics(SM_CXSCREEN)));
    EXPECT_EQ(BigEndian(sent, 20), std::uint32_t(GetSystemMetrics(SM_CYSCREEN)));
  }

  void ExpectDump(const std::string& sent) {
    ASSERT_GT(dump_.size(), 1000u);
    EXPECT_EQ(dump_.substr(0, 4), "MDMP");
    EXPECT_TRUE(sent == dump_) << sent.size() << " bytes sent of " << dump_.size();
  }

  std::string request_;  // the peer's files of the request, without suffix
  std::string screenshot_, dump_, dumpName_;
};

TEST_F(Delivery, SmtpCarriesReportScreenshotAndDumpWhole) {
  const std::string dir = Env("CORVAN_SMTP_SLOW_DIR");
  Send({"MailAsSmtpClient=true", "SmtpServer=127.0.0.1", "SmtpPort=" + Env("CORVAN_SMTP_SLOW_PORT"),
        "SmtpTls=off"},
       dir);
  const test::PeerSummary mail(request_ + ".txt");
  EXPECT_EQ(mail.Value("rcpt_to"), "desk@corvan.test");
  EXPECT_EQ(mail.Value("defects"), "0");
  const std::vector<std::string> parts = mail.Lines("part ");
  ASSERT_EQ(parts.size(), 3u) << mail.Value("header Subject");
  EXPECT_EQ(parts[0], "part 1 application/octet-stream bugreport.txt");
  EXPECT_EQ(parts[1], "part 2 image/png screenshot.png");
  EXPECT_NE(parts[2].find(dumpName_), std::string::npos) << parts[2];
  const std::string report = ReadWholeFile(request_ + ".part1");
  EXPECT_NE(report.find("The probe failed on purpose"), std::string::npos);
  EXPECT_NE(report.find("SMTP unencrypted"), std::string::npos);
  ExpectScreenshot(ReadWholeFile(request_ + ".part2"));
  ExpectDump(ReadWholeFile(request_ + ".part3"));
}

TEST_F(Delivery, UploadCarriesReportScreenshotAndDumpWhole) {
  const std::string dir = Env("CORVAN_UPLOAD_DIR");
  Send({"UploadViaHttp=true", "HttpServer=http://127.0.0.1/slow",
        "HttpPort=" + Env("CORVAN_UPLOAD_PORT")},
       dir);
  const test::PeerSummary request(request_ + ".txt");
  EXPECT_EQ(request.Value("request"), "POST /slow HTTP/1.1");
  EXPECT_EQ(request.Value("announced"), request.Value("received"));
  EXPECT_EQ(request.Value("extra"), "0");
  EXPECT_EQ(request.Value("defects"), "0");
  const std::vector<std::string> files = request.Lines("file ");
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0], "file BugReport bugreport.txt");
  EXPECT_EQ(files[1], "file ScreenShot screenshot.png");
  EXPECT_EQ(files[2], "file MiniDump " + dumpName_);
  EXPECT_NE(ReadWholeFile(request_ + ".file.BugReport").find("The probe failed on purpose"),
            std::string::npos);
  ExpectScreenshot(ReadWholeFile(request_ + ".file.ScreenShot"));
  ExpectDump(ReadWholeFile(request_ + ".file.MiniDump"));
}

}  // namespace
}  // namespace corvan::crash
