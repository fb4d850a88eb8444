// End-to-end tests of the unchanged corvan.exe: a VNC server double stands
// at the real path and records every start; the tests drive the program's
// windows from outside, as a user would.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>

#include "CorvanDriver.h"
#include "app/VncCommands.h"
#include "common/KeptReports.h"

namespace corvan::e2e {
namespace {

using namespace std::chrono_literals;

// Where the program must look on both kinds of Windows: the 64-bit Program
// Files folder, which is also the only one of 32-bit Windows.
constexpr char kServerFolder[] = "C:\\Program Files\\ultravnc";
constexpr char kServerPath[] = "C:\\Program Files\\ultravnc\\Winvnc.exe";
constexpr long long kToleranceMs = 250;

bool RunningOnWow64() {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  return wow64 != FALSE;
}

class Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    log_ = std::string(temp) + "corvan-vnc-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    DeleteFileA(log_.c_str());
    InstallServer(true);
  }
  void TearDown() override {
    DeleteFileA(log_.c_str());
    InstallServer(true);
  }

  static void InstallServer(bool present) {
    if (present) {
      CreateDirectoryA(kServerFolder, nullptr);
      // A double started by the previous test may still be on its way out.
      ASSERT_TRUE(WaitUntil([] { return CopyFileA(VNC_DOUBLE_WINE_PATH, kServerPath, FALSE) != 0; },
                            std::chrono::seconds(10)))
          << GetLastError();
    } else {
      ASSERT_TRUE(WaitUntil(
          [] { return DeleteFileA(kServerPath) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND; },
          std::chrono::seconds(10)));
    }
  }

  std::vector<VncLaunch> Launches() const { return ReadVncLog(log_); }

  // Sets the number and the reconnect box, presses Start, and waits until
  // the three launches are recorded.
  std::vector<VncLaunch> StartSession(CorvanProcess& corvan, const std::string& number,
                                      bool reconnect) {
    HWND main = corvan.MainWindow();
    SetText(GetDlgItem(main, 101), number);
    SendMessageTimeoutA(GetDlgItem(main, 104), BM_SETCHECK, reconnect ? BST_CHECKED : BST_UNCHECKED,
                        0, SMTO_ABORTIFHUNG, 5000, nullptr);
    PostClick(main, 102);
    WaitUntil([&] { return Launches().size() >= 3; }, 20s);
    return Launches();
  }

  std::string log_;
};

void ExpectBounds(HWND form, int id, int left, int top, int width, int height) {
  HWND control = GetDlgItem(form, id);
  ASSERT_NE(control, nullptr) << "control " << id;
  const RECT r = ChildBounds(control);
  EXPECT_EQ(r.left, left) << "control " << id;
  EXPECT_EQ(r.top, top) << "control " << id;
  if (width >= 0) {
    EXPECT_EQ(r.right - r.left, width) << "control " << id;
  }
  if (width < 0) {
    EXPECT_GT(r.right - r.left, 0) << "control " << id << " sized to its text";
  }
  if (height >= 0) {
    EXPECT_EQ(r.bottom - r.top, height) << "control " << id;
  }
}

// A start shows the main window and nothing else a person could see (an
// exception box or a message box of the program or of its crash handler),
// and leaves no bug report behind.
TEST_F(Launcher, StartShowsTheMainWindowAndNothingElse) {
  const std::string exe = CORVAN_EXE_WINE_PATH;
  const std::string bugReport = exe.substr(0, exe.rfind('\\') + 1) + "bugreport.txt";
  DeleteFileA(bugReport.c_str());
  CorvanProcess corvan(log_);
  // A fault in start-up code shows its box after the main window appears.
  Sleep(2000);
  EXPECT_EQ(corvan.VisibleWindows(), std::vector<std::string>{"TfrmCorvanNG \"CORVAN NG\""});
  EXPECT_TRUE(corvan.Responsive(5s));
  EXPECT_EQ(GetFileAttributesA(bugReport.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(test::KeptReportNames("corvan"), std::vector<std::string>{});
}

TEST_F(Launcher, MainWindowLayout) {
  CorvanProcess corvan(log_);
  HWND main = corvan.MainWindow();
  EXPECT_EQ(WindowText(main), "CORVAN NG");
  RECT client;
  GetClientRect(main, &client);
  EXPECT_EQ(client.right, 240);
  EXPECT_EQ(client.bottom, 250);
  EXPECT_TRUE(GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(GetWindowLongA(main, GWL_STYLE) & WS_THICKFRAME);
  // Centred on the work area (within a pixel of rounding).
  RECT window, work;
  GetWindowRect(main, &window);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_NEAR(window.left - work.left, work.right - window.right, 1);
  EXPECT_NEAR(window.top - work.top, work.bottom - window.bottom, 1);

  ExpectBounds(main, 105, 8, 8, 226, 148);     // imgHelpdesk
  ExpectBounds(main, 107, 8, 162, -1, -1);     // lblID, sized to its text
  ExpectBounds(main, 104, 159, 162, 157, 21);  // chkReConnect
  ExpectBounds(main, 102, 8, 189, 92, 25);     // btnStartCorvan
  ExpectBounds(main, 103, 137, 189, 97, 25);   // btnStopCorvan
  ExpectBounds(main, 106, 8, 220, 226, 25);    // btnInstallVNC
  // The spin edit and its arrows together fill 51 pixels from 102.
  HWND edit = GetDlgItem(main, 101);
  HWND arrows =
      reinterpret_cast<HWND>(SendMessageA(GetWindow(edit, GW_HWNDNEXT), UDM_GETBUDDY, 0, 0)) == edit
          ? GetWindow(edit, GW_HWNDNEXT)
          : nullptr;
  ASSERT_NE(arrows, nullptr);
  const RECT e = ChildBounds(edit), a = ChildBounds(arrows);
  EXPECT_EQ(e.left, 102);
  EXPECT_EQ(e.top, 162);
  EXPECT_EQ(std::max(e.right, a.right), 102 + 51);

  EXPECT_EQ(WindowText(GetDlgItem(main, 107)), "Helpdesk nummer");
  EXPECT_EQ(WindowText(GetDlgItem(main, 104)), "Reconnect");
  EXPECT_EQ(WindowText(GetDlgItem(main, 102)), "Start CorVAN");
  EXPECT_EQ(WindowText(GetDlgItem(main, 103)), "Stop CorVAN");
  EXPECT_EQ(WindowText(GetDlgItem(main, 106)), "Installeer CorVAN");
  EXPECT_EQ(SendMessageA(GetDlgItem(main, 104), BM_GETCHECK, 0, 0), BST_UNCHECKED);

  // Tab order: number, Start, Stop, Reconnect, Install.
  std::vector<int> order;
  HWND at = GetDlgItem(main, 101);
  for (int i = 0; i < 5; ++i) {
    order.push_back(GetDlgCtrlID(at));
    at = GetNextDlgTabItem(main, at, FALSE);
  }
  EXPECT_EQ(order, (std::vector<int>{101, 102, 103, 104, 106}));

  // The application title is the caption of the task-bar window.
  EXPECT_EQ(WindowText(corvan.FindWindowOfClass("TApplication")), "CorVANNG");
}

TEST_F(Launcher, InstallerWindowLayoutAndModalReuse) {
  CorvanProcess corvan(log_);
  HWND installer = corvan.FindWindowOfClass("TfrmInstallUltraVNC");
  ASSERT_NE(installer, nullptr);
  EXPECT_FALSE(IsWindowVisible(installer));
  EXPECT_EQ(WindowText(installer), "Installeer CorVAN");
  RECT client;
  GetClientRect(installer, &client);
  EXPECT_EQ(client.right, 227);
  EXPECT_EQ(client.bottom, 159);
  ExpectBounds(installer, 202, 80, 8, 113, 17);
  ExpectBounds(installer, 203, 81, 31, 65, 17);
  ExpectBounds(installer, 201, 8, 72, 193, 25);
  ExpectBounds(installer, 204, 8, 8, -1, -1);
  ExpectBounds(installer, 205, 8, 112, -1, -1);
  ExpectBounds(installer, 206, 56, 112, 0, -1);  // empty at first
  EXPECT_EQ(WindowText(GetDlgItem(installer, 202)), "32 Bit");
  EXPECT_EQ(WindowText(GetDlgItem(installer, 203)), "64 Bit");
  EXPECT_EQ(WindowText(GetDlgItem(installer, 201)), "Start Installatie");
  EXPECT_EQ(WindowText(GetDlgItem(installer, 205)), "Status : ");
  // The setup that fits this Windows is chosen.
  const bool wow64 = RunningOnWow64();
  EXPECT_EQ(SendMessageA(GetDlgItem(installer, 203), BM_GETCHECK, 0, 0),
            wow64 ? BST_CHECKED : BST_UNCHECKED);
  EXPECT_EQ(SendMessageA(GetDlgItem(installer, 202), BM_GETCHECK, 0, 0),
            wow64 ? BST_UNCHECKED : BST_CHECKED);

  for (int round = 0; round < 2; ++round) {
    PostClick(corvan.MainWindow(), 106);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(installer) != FALSE; }, 10s));
    EXPECT_EQ(corvan.FindWindowOfClass("TfrmInstallUltraVNC"), installer) << "one window, reused";
    EXPECT_FALSE(IsWindowEnabled(corvan.MainWindow())) << "shown modally";
    PostMessageA(installer, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(installer); }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(corvan.MainWindow()) != FALSE; }, 5s));
  }
  EXPECT_TRUE(corvan.Running());
}

TEST_F(Launcher, InvalidNumbersGiveTheErrorDialogAndLaunchNothing) {
  CorvanProcess corvan(log_);
  HWND main = corvan.MainWindow();
  for (const char* number : {"0", "-1", "1001", "", "abc", "12x", "99999999999"}) {
    SetText(GetDlgItem(main, 101), number);
    PostClick(main, 102);
    auto box = corvan.WaitForMessageBox(10s);
    ASSERT_TRUE(box) << "no dialog for \"" << number << '"';
    EXPECT_EQ(box->caption, "Error");
    EXPECT_EQ(box->text, "Vul een geldige Helpdesknummer in.");
    EXPECT_TRUE(box->hasIcon);
    corvan.AnswerMessageBox(*box);
  }
  Sleep(300);
  EXPECT_TRUE(Launches().empty());
}

// The three launches, their parameters and the pauses between them.
void ExpectSession(const std::vector<VncLaunch>& launches, const std::string& connect) {
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launches[0].parameters, "-Kill");
  EXPECT_EQ(launches[1].parameters, "-run");
  EXPECT_EQ(launches[2].parameters, connect);
  for (const VncLaunch& launch : launches) EXPECT_EQ(launch.showState, SW_SHOWNORMAL);
  EXPECT_NEAR(launches[1].timeMs - launches[0].timeMs, 4000, kToleranceMs);
  EXPECT_NEAR(launches[2].timeMs - launches[1].timeMs, 1000, kToleranceMs);
}

TEST_F(Launcher, StartWithLowestNumberWithoutReconnect) {
  CorvanProcess corvan(log_);
  const auto launches = StartSession(corvan, "1", false);
  ExpectSession(launches, "-id:9001 -connect " + std::string(app::kRepeaterHost) + "::5500");
  // The GUI thread is blocked for the last pause, then answers again.
  ASSERT_TRUE(WaitUntil([&] { return corvan.Responsive(100ms); }, 5s));
  EXPECT_NEAR(NowMs() - launches[2].timeMs, 1000, 600);
  EXPECT_TRUE(corvan.Running());
  Sleep(300);
  EXPECT_EQ(Launches().size(), 3u);
}

TEST_F(Launcher, StartWithHighestNumberAndReconnect) {
  CorvanProcess corvan(log_);
  ExpectSession(StartSession(corvan, "1000", true),
                "-autoreconnect ID:10000 -connect " + std::string(app::kRepeaterHost) + "::5500");
}

TEST_F(Launcher, StartWithoutServerSaysSoAndLaunchesNothing) {
  InstallServer(false);
  CorvanProcess corvan(log_);
  SetText(GetDlgItem(corvan.MainWindow(), 101), "5");
  PostClick(corvan.MainWindow(), 102);
  auto box = corvan.WaitForMessageBox(10s);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, "CorVANNG");
  EXPECT_EQ(box->text, "Ultra VNC niet gevonden!!");
  EXPECT_FALSE(box->hasIcon);
  corvan.AnswerMessageBox(*box);
  EXPECT_TRUE(Launches().empty());
  EXPECT_TRUE(corvan.Running());
}

TEST_F(Launcher, StopWithoutServerKeepsTheWindowOpen) {
  InstallServer(false);
  CorvanProcess corvan(log_);
  PostClick(corvan.MainWindow(), 103);
  auto box = corvan.WaitForMessageBox(10s);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, "CorVANNG");
  EXPECT_EQ(box->text, "Ultra VNC not installed !!");
  corvan.AnswerMessageBox(*box);
  EXPECT_TRUE(corvan.Responsive(2s));
  EXPECT_TRUE(IsWindowVisible(corvan.MainWindow()));
  EXPECT_TRUE(corvan.Running());
}

TEST_F(Launcher, StopKillsTheServerAndEndsTheProgram) {
  CorvanProcess corvan(log_);
  PostClick(corvan.MainWindow(), 103);
  ASSERT_TRUE(corvan.WaitForExit(15s));
  const long long ended = NowMs();
  const auto launches = Launches();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].parameters, "-Kill");
  EXPECT_NEAR(ended - launches[0].timeMs, 4000, 1000);
}

}  // namespace
}  // namespace corvan::e2e
