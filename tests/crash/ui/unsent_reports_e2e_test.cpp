// Unsent reports from outside, on exception_box_probe with SMTP delivery
// against aiosmtpd (started by mail_peers.sh): a send that fails keeps the
// report, the next start offers it and "Nu verzenden" delivers it once;
// damaged kept reports never stop the start; the program ends only after
// its automatic send.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/KeptReports.h"
#include "crash/deliver/MailPeerFiles.h"
#include "crash/ui/ProbeDriver.h"

namespace corvan::crash {
namespace {

using test::Button;
using test::Children;
using test::Env;
using test::Press;
using test::Probe;
using test::StoredCount;
using test::WaitForBox;
using test::WaitForDialog;
using test::WindowText;

constexpr char kProgram[] = "exception_box_probe";

std::vector<std::string> SmtpSettings(const std::string& port) {
  return {"MailAsSmtpClient=true", "SmtpServer=127.0.0.1",      "SmtpPort=" + port,
          "SmtpTls=off",           "MailAddr=desk@corvan.test", "MailViaMapi=false",
          "MailViaMailto=false",   "SendInBackgr=false",        "SendAssis=",
          "AttachBugRepFile=false"};
}

std::string Port(const char* mode) {
  return Env(("CORVAN_SMTP_" + std::string(mode) + "_PORT").c_str());
}
std::string Dir(const char* mode) {
  return Env(("CORVAN_SMTP_" + std::string(mode) + "_DIR").c_str());
}

class UnsentReports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Port("PLAIN").empty()) << "run through mail_peers.sh";
    corvan::test::ClearKeptReports(kProgram);
  }
  void TearDown() override { corvan::test::ClearKeptReports(kProgram); }

  std::string Folder() const { return corvan::test::KeptReportsFolder(kProgram); }
};

TEST_F(UnsentReports, FailedSendIsKeptAndDeliveredOnceAtTheNextStart) {
  {
    // Port 1: nobody listens, the SMTP peer is down.
    Probe probe(SmtpSettings("1"));
    ASSERT_TRUE(probe.Started());
    HWND box = WaitForBox(probe.Id());
    ASSERT_NE(box, nullptr);
    Press(box, Button(box, "send bug report"));
    HWND failure = WaitForDialog(probe.Id(), "OK");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(WindowText(Children(failure, "Static").back()),
              "Sorry, sending the bug report didn't work.");
    Press(failure, Button(failure, "OK"));
    Press(box, Button(box, "continue application"));
    ASSERT_EQ(probe.Exit(), 0u);
  }
  const std::vector<std::string> kept = corvan::test::KeptReportNames(kProgram);
  ASSERT_EQ(kept.size(), 1u);
  const std::string text = test::ReadFile(Folder() + "\\" + kept[0] + "\\report.txt");
  EXPECT_NE(text.find("The probe failed on purpose"), std::string::npos) << text;

  const std::string dir = Dir("PLAIN");
  const int before = StoredCount(dir);
  {
    Probe probe(SmtpSettings(Port("PLAIN")), "offer");
    HWND offer = WaitForDialog(probe.Id(), "Nu verzenden");
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(WindowText(offer), kProgram);
    EXPECT_NE(Button(offer, "Later"), nullptr);
    EXPECT_NE(Button(offer, "Nooit"), nullptr);
    EXPECT_NE(Button(offer, "Bekijken"), nullptr);
    EXPECT_EQ(WindowText(Children(offer, "Static").at(0)),
              "Een foutrapport van een eerdere sessie is nog niet verzonden.\r\n"
              "Wilt u het nu verzenden?\r\nEen rapport bevat gegevens van deze computer (ook de "
              "gebruikers- en computernaam), de lijst van draaiende programma's, een schermafdruk "
              "en een geheugenafdruk van het programma. Met \"Bekijken\" ziet u de tekst.");
    Press(offer, Button(offer, "Nu verzenden"));
    ASSERT_EQ(probe.Exit(), 0u);
    EXPECT_EQ(probe.Log(), "history 0\nkept 1\noffered\n");
  }
  ASSERT_EQ(StoredCount(dir), before + 1);
  const test::PeerSummary mail(dir + "\\" + std::to_string(StoredCount(dir)) + ".txt");
  EXPECT_EQ(mail.Value("rcpt_to"), "desk@corvan.test");
  const std::vector<std::string> parts = mail.Lines("part ");
  // The screenshot went with it, and the minidump, written after the box
  // showed: the kept report waited for it.
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_NE(parts[0].find("bugreport.txt"), std::string::npos) << parts[0];
  EXPECT_EQ(parts[1], "part 2 image/png screenshot.png");
  EXPECT_NE(parts[2].find("minidump-"), std::string::npos) << parts[2];
  const std::string stored = dir + "\\" + std::to_string(StoredCount(dir));
  EXPECT_EQ(test::ReadFile(stored + ".part1"), text);
  EXPECT_TRUE(test::WholePng(test::ReadFile(stored + ".part2")));
  EXPECT_TRUE(corvan::test::KeptReportNames(kProgram).empty());

  // Nothing left to offer: the next start shows no box.
  Probe again(SmtpSettings(Port("PLAIN")), "offer");
  ASSERT_EQ(again.Exit(), 0u);
  EXPECT_EQ(again.Log(), "history 0\nkept 0\noffered\n");
  EXPECT_EQ(StoredCount(dir), before + 1);
}

void WriteEntry(const std::string& folder, const std::string& name, const std::string& index,
                const std::string& text) {
  CreateDirectoryA((folder + "\\" + name).c_str(), nullptr);
  if (!index.empty()) test::WriteWholeFile(folder + "\\" + name + "\\entry.txt", index);
  test::WriteWholeFile(folder + "\\" + name + "\\report.txt", text);
}

TEST_F(UnsentReports, DamagedKeptReportsAreSkippedWithANoteAndNeverDropsTheRest) {
  const std::string folder = Folder();
  CreateDirectoryA(folder.substr(0, folder.rfind('\\')).c_str(), nullptr);
  CreateDirectoryA(folder.c_str(), nullptr);
  WriteEntry(folder, "20261201-080000-00000010-000001.part", "", "half");
  WriteEntry(folder, "20261201-080001-00000010-000002", "CorVAN unsent report 1\r\nfile\t1-a",
             "cut index");
  WriteEntry(folder, "20261201-080002-00000010-000003", "CorVAN unsent report 1\r\nend\r\n",
             "good one\r\n");
  WriteEntry(folder, "20261201-080003-00000010-000004",
             "CorVAN unsent report 1\r\nfile\t..\\..\\x\ta\t\t\r\nend\r\n", "escaping index");
  WriteEntry(folder, "20261201-080004-00000010-000005", "CorVAN unsent report 1\r\nend\r\n",
             "second good one\r\n");

  Probe probe(SmtpSettings(Port("PLAIN")), "offer");
  HWND offer = WaitForDialog(probe.Id(), "Nooit");
  ASSERT_NE(offer, nullptr);
  EXPECT_EQ(WindowText(Children(offer, "Static").at(0)),
            "Er zijn 2 foutrapporten van eerdere sessies nog niet verzonden.\r\n"
            "Wilt u ze nu verzenden?");
  Press(offer, Button(offer, "Nooit"));
  ASSERT_EQ(probe.Exit(), 0u);
  EXPECT_EQ(probe.Log(),
            "history 0\nkept 2\n"
            "note 20261201-080000-00000010-000001.part: not complete, skipped\n"
            "note 20261201-080001-00000010-000002: index broken, skipped and removed\n"
            "note 20261201-080003-00000010-000004: index broken, skipped and removed\n"
            "offered\n");
  // "Nooit" drops what was offered; the one still being written stays.
  EXPECT_EQ(corvan::test::KeptReportNames(kProgram),
            std::vector<std::string>{"20261201-080000-00000010-000001.part"});
}

TEST_F(UnsentReports, LaterKeepsThemForTheNextStart) {
  const std::string folder = Folder();
  CreateDirectoryA(folder.substr(0, folder.rfind('\\')).c_str(), nullptr);
  CreateDirectoryA(folder.c_str(), nullptr);
  WriteEntry(folder, "20261201-080002-00000010-000003", "CorVAN unsent report 1\r\nend\r\n",
             "good one\r\n");
  Probe probe(SmtpSettings(Port("PLAIN")), "offer");
  HWND offer = WaitForDialog(probe.Id(), "Later");
  ASSERT_NE(offer, nullptr);
  // Escape is "Later", never "Nooit".
  PostMessageA(offer, WM_COMMAND, IDCANCEL, 0);
  ASSERT_EQ(probe.Exit(), 0u);
  EXPECT_EQ(corvan::test::KeptReportNames(kProgram),
            std::vector<std::string>{"20261201-080002-00000010-000003"});
}

// Closing waits for the automatic send in the background (every reply of
// this peer is half a second late), and a report that went out is not kept.
TEST_F(UnsentReports, CloseWaitsForTheAutomaticSend) {
  const std::string dir = Dir("SLOW");
  const int before = StoredCount(dir);
  std::vector<std::string> settings = SmtpSettings(Port("SLOW"));
  settings.push_back("AutoSend=true");
  Probe probe(settings);
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  Press(box, Button(box, "close application"));
  ASSERT_EQ(probe.Exit(), 1u);
  EXPECT_EQ(StoredCount(dir), before + 1);
  EXPECT_TRUE(corvan::test::KeptReportNames(kProgram).empty());
}

}  // namespace
}  // namespace corvan::crash
