// The reporter's temporary folder shared by copies of exception_box_probe
// that send their reports in the background to a slow aiosmtpd (started by
// mail_peers.sh, every reply half a second late): another copy's start-up
// and a second exception of the same copy leave the files a send still
// reads (dump and screenshot), which then arrive whole; what dead
// processes left is removed.
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

constexpr char kProgram[] = "exception_box_probe";

std::string SharedFolder() { return test::ProbeReporterFolder(); }
std::string FolderOf(DWORD process) { return test::ProbeReporterFolder(process); }

// Sent in the background without a box; the minidump is the attachment.
std::vector<std::string> SlowSendSettings() {
  return {"MailAsSmtpClient=true",
          "SmtpServer=127.0.0.1",
          "SmtpPort=" + Env("CORVAN_SMTP_SLOW_PORT"),
          "SmtpTls=off",
          "MailAddr=desk@corvan.test",
          "MailViaMapi=false",
          "MailViaMailto=false",
          "SendInBackgr=true",
          "AutoSend=true",
          "GnShowCfg=4",
          "MiniDump=true",
          "BugRepZip=",
          "AttachBugRepFile=false",
          "KeepUnsent=false",
          "GnNoScrShot=true"};
}

std::vector<std::string> Faults(int count, bool screenshots = false) {
  std::vector<std::string> arguments = SlowSendSettings();
  arguments.insert(arguments.begin(), std::to_string(count));
  if (screenshots) arguments.insert(arguments.end(), {"GnNoScrShot=false", "ScrShotAppOnly=false"});
  return arguments;
}

std::vector<std::string> DumpsIn(const std::string& folder) {
  std::vector<std::string> dumps;
  for (const std::string& name : corvan::test::FolderNames(folder)) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".dmp") dumps.push_back(name);
  }
  return dumps;
}

class ReporterFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("CORVAN_SMTP_SLOW_PORT").empty()) << "run through mail_peers.sh";
    corvan::test::ClearKeptReports(kProgram);
    dir_ = Env("CORVAN_SMTP_SLOW_DIR");
    before_ = StoredCount(dir_);
  }
  void TearDown() override { corvan::test::ClearKeptReports(kProgram); }

  // The mail of number `mail` carries the dump whole (besides the report).
  void ExpectDumpArrivedWhole(int mail, const std::string& dumpPath) {
    const std::string base = dir_ + "\\" + std::to_string(mail);
    const std::string name = dumpPath.substr(dumpPath.rfind('\\') + 1);
    const std::vector<std::string> parts = test::PeerSummary(base + ".txt").Lines("part ");
    std::size_t index = 0;
    while (index < parts.size() && parts[index].find(name) == std::string::npos) ++index;
    ASSERT_LT(index, parts.size()) << name;
    const std::string sent = ReadWholeFile(base + ".part" + std::to_string(index + 1));
    const std::string kept = ReadWholeFile(dumpPath);
    ASSERT_GT(kept.size(), 1000u);
    EXPECT_EQ(kept.substr(0, 4), "MDMP");
    EXPECT_TRUE(sent == kept) << sent.size() << " bytes sent of " << kept.size();
  }

  // The screenshot of mail `mail` arrived whole (the second send's did not
  // overwrite or remove the first's).
  void ExpectScreenshotArrivedWhole(int mail) {
    const std::string base = dir_ + "\\" + std::to_string(mail);
    const std::vector<std::string> parts = test::PeerSummary(base + ".txt").Lines("part ");
    ASSERT_GE(parts.size(), 2u);
    EXPECT_EQ(parts[1], "part 2 image/png screenshot.png");
    EXPECT_TRUE(test::WholePng(ReadWholeFile(base + ".part2")));
  }

  // Which of the dumps mail `mail` carries.
  std::string DumpOf(int mail, const std::vector<std::string>& dumps) {
    const std::string summary = ReadWholeFile(dir_ + "\\" + std::to_string(mail) + ".txt");
    for (const std::string& dump : dumps) {
      if (summary.find(dump) != std::string::npos) return dump;
    }
    return {};
  }

  std::string dir_;
  int before_ = 0;
};

TEST_F(ReporterFolder, AnotherCopysStartLeavesTheFilesOfARunningSendAndRemovesTheDeads) {
  // A copy that ended without cleaning up; its process id is one no process has.
  const std::string stale = SharedFolder() + "\\4000000000";
  CreateDirectoryA(SharedFolder().c_str(), nullptr);
  CreateDirectoryA(stale.c_str(), nullptr);
  test::WriteWholeFile(stale + "\\shot.png", "x");
  test::WriteWholeFile(SharedFolder() + "\\loose.png", "x");

  Probe sending(Faults(1), "faults");
  ASSERT_TRUE(sending.Started());
  ASSERT_TRUE(WaitFor([&] { return sending.Log().find("continued") != std::string::npos; }));
  const std::string own = FolderOf(sending.Id());
  const std::vector<std::string> dumps = DumpsIn(own);
  ASSERT_EQ(dumps.size(), 1u);
  // The first reply alone comes after half a second: the send is still on.
  ASSERT_EQ(StoredCount(dir_), before_);

  Probe starting({}, "offer");
  ASSERT_EQ(starting.Exit(), 0u);
  EXPECT_EQ(DumpsIn(own), dumps);
  EXPECT_EQ(GetFileAttributesA(stale.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA((SharedFolder() + "\\loose.png").c_str()), INVALID_FILE_ATTRIBUTES);
  // The copy that ended left nothing a later start would have to keep.
  EXPECT_EQ(GetFileAttributesA(FolderOf(starting.Id()).c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_TRUE(WaitFor([&] { return StoredCount(dir_) == before_ + 1; }));
  ExpectDumpArrivedWhole(before_ + 1, own + "\\" + dumps[0]);
  sending.LetGo();
  ASSERT_EQ(sending.Exit(), 0u);

  // Once it has ended, the next start removes its folder.
  Probe next({}, "offer");
  ASSERT_EQ(next.Exit(), 0u);
  EXPECT_EQ(GetFileAttributesA(own.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ReporterFolder, ASecondExceptionLeavesTheFilesOfTheFirstSend) {
  Probe probe(Faults(2, true), "faults");
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] {
    return probe.Log().find("continued\ncontinued\n") != std::string::npos;
  })) << probe.Log();
  const std::string own = FolderOf(probe.Id());
  ASSERT_TRUE(WaitFor([&] { return StoredCount(dir_) == before_ + 2; }));
  const std::vector<std::string> dumps = DumpsIn(own);
  ASSERT_EQ(dumps.size(), 2u);
  // Both sends started before either ended, each with its own dump.
  const std::string first = DumpOf(before_ + 1, dumps), second = DumpOf(before_ + 2, dumps);
  EXPECT_NE(first, second);
  ExpectDumpArrivedWhole(before_ + 1, own + "\\" + first);
  ExpectDumpArrivedWhole(before_ + 2, own + "\\" + second);
  ExpectScreenshotArrivedWhole(before_ + 1);
  ExpectScreenshotArrivedWhole(before_ + 2);
  probe.LetGo();
  ASSERT_EQ(probe.Exit(), 0u);
}

}  // namespace
}  // namespace corvan::crash
