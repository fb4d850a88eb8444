// End-to-end tests of the installer window of the unchanged corvan.exe.
// scripts run these inside a network namespace of their own, where the
// built-in web host is 127.0.0.1 and a server of the scenario's kind
// answers on port 80; each test is one scenario, run with a filter.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

#include "CorvanDriver.h"

namespace corvan::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kSetupRunMs = 2500;

bool RunningOnWow64() {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  return wow64 != FALSE;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string EnvironmentValue(const char* name) {
  char value[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n < sizeof value ? std::string(value, n) : std::string();
}

std::string TempDir() {
  char temp[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  return std::string(temp, n);
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    setupLog_ = TempDir() + "corvan-setup.log";
    vncLog_ = TempDir() + "corvan-vnc-installer.log";
    DeleteFileA(setupLog_.c_str());
    SetEnvironmentVariableA("CORVAN_SETUP_LOG", setupLog_.c_str());
    SetEnvironmentVariableA("CORVAN_SETUP_MS", std::to_string(kSetupRunMs).c_str());
    setupFile_ = TempDir() + (RunningOnWow64() ? "Setup_UltraVNC_64.exe" : "Setup_UltraVNC_32.exe");
    DeleteFileA(setupFile_.c_str());
  }

  // Opens the installer from the main window and presses its start button.
  HWND StartInstallation(CorvanProcess& corvan) {
    HWND installer = corvan.FindWindowOfClass("TfrmInstallUltraVNC");
    EXPECT_NE(installer, nullptr);
    PostClick(corvan.MainWindow(), 106);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(installer) != FALSE; }, 10s));
    // The setup that fits this Windows is preselected.
    EXPECT_EQ(SendMessageA(GetDlgItem(installer, RunningOnWow64() ? 203 : 202), BM_GETCHECK, 0, 0),
              BST_CHECKED);
    PostClick(installer, 201);
    return installer;
  }

  // The whole setup program arrived and is run with "/silent"; while it
  // runs the window keeps answering.
  void ExpectInstalled() {
    CorvanProcess corvan(vncLog_);
    HWND installer = StartInstallation(corvan);
    ASSERT_TRUE(WaitUntil([&] { return !ReadFile(setupLog_).empty(); }, 60s));
    const long long started = NowMs();
    EXPECT_TRUE(corvan.Responsive(500ms));
    EXPECT_EQ(WindowText(GetDlgItem(installer, 206)), "Bezig met installeren programma");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(installer, 201)));

    auto box = corvan.WaitForMessageBox(30s);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, "De installatie is voltooid.");
    EXPECT_EQ(box->caption, "CorVANNG");
    EXPECT_GE(NowMs() - started, kSetupRunMs - 500) << "the end of the setup was awaited";
    const std::string log = ReadFile(setupLog_);
    EXPECT_EQ(log.substr(log.find('\t') + 1), "/silent\r\n");
    const std::string served = ReadFile(EnvironmentValue("CORVAN_E2E_SERVED_SETUP"));
    EXPECT_GT(served.size(), ReadFile(SETUP_DOUBLE_WINE_PATH).size()) << "served signed";
    EXPECT_EQ(ReadFile(setupFile_), served) << "the file as served";

    corvan.AnswerMessageBox(*box);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(installer); }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(corvan.MainWindow()) != FALSE; }, 5s));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(installer, 201)));
  }

  // For the failure scenarios: the window closes by itself and keeps the
  // reason; nothing is run and no broken file stays behind.
  void ExpectFailure(const std::string& info) {
    CorvanProcess corvan(vncLog_);
    HWND installer = StartInstallation(corvan);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(installer); }, 60s));
    EXPECT_EQ(WindowText(GetDlgItem(installer, 206)), info);
    EXPECT_FALSE(corvan.WaitForMessageBox(500ms).has_value());
    EXPECT_EQ(GetFileAttributesA(setupLog_.c_str()), INVALID_FILE_ATTRIBUTES) << "setup ran";
    EXPECT_EQ(GetFileAttributesA(setupFile_.c_str()), INVALID_FILE_ATTRIBUTES) << "file kept";
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(corvan.MainWindow()) != FALSE; }, 5s));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(installer, 201)));
  }

  std::string setupLog_, vncLog_, setupFile_;
};

TEST_F(Installer, DownloadsAndInstalls) { ExpectInstalled(); }

// The server resets the connection right after the whole program (Windows
// reports 10054, Wine an orderly close): the download counts and the
// program runs.
TEST_F(Installer, ResetAfterDownload) { ExpectInstalled(); }

TEST_F(Installer, NotFound) { ExpectFailure("Download mislukt : Not Found"); }

TEST_F(Installer, HtmlPage) {
  ExpectFailure("Download mislukt : het ontvangen bestand is geen installatieprogramma");
}

TEST_F(Installer, Truncated) {
  ExpectFailure("Download mislukt : verbinding verbroken, bestand onvolledig ontvangen");
  // The scripted server kept the request it got, byte for byte.
  const std::string requestFile = EnvironmentValue("CORVAN_E2E_REQUEST_FILE");
  ASSERT_FALSE(requestFile.empty());
  EXPECT_EQ(ReadFile(requestFile),
            std::string("GET /downloads/") +
                (RunningOnWow64() ? "Setup_UltraVNC_64.exe" : "Setup_UltraVNC_32.exe") +
                " HTTP/1.0\r\n"
                "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                "User-Agent: Mozilla/4.0 (compatible; NetHttp)\r\n"
                "Host: www.corvan-ng.nl\r\n"
                "\r\n");
}

TEST_F(Installer, Refused) {
  ExpectFailure("Download mislukt : Connection refused (Error #10061)");
}

// Setups whose signature does not hold are refused, deleted and never run.
TEST_F(Installer, Tampered) { ExpectFailure("Download mislukt : de handtekening is ongeldig"); }

TEST_F(Installer, Unsigned) {
  ExpectFailure("Download mislukt : het installatieprogramma is niet ondertekend");
}

TEST_F(Installer, UntrustedRoot) {
  ExpectFailure("Download mislukt : het certificaat van de handtekening wordt niet vertrouwd");
}

TEST_F(Installer, Expired) {
  ExpectFailure("Download mislukt : het certificaat van de handtekening is verlopen");
}

TEST_F(Installer, OtherPublisher) {
  ExpectFailure("Download mislukt : het installatieprogramma is niet van de verwachte uitgever");
}

TEST_F(Installer, MissingIntermediate) {
  ExpectFailure("Download mislukt : het certificaat van de handtekening wordt niet vertrouwd");
}

}  // namespace
}  // namespace corvan::e2e
