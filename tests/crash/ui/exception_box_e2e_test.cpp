// The exception box seen from outside, as a user meets it: a program of
// ours with the reporter raises an exception, and the test finds the box,
// reads its texts, presses its buttons with posted messages and watches
// how the program goes on or ends (exit codes 1 for close, 2 for restart).
#include <gtest/gtest.h>
#include <windows.h>
// windows.h before wincodec.h
#include <wincodec.h>

#include <chrono>
#include <initializer_list>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/KeptReports.h"
#include "crash/ui/ProbeDriver.h"
#include "crash/deliver/FakeMailClient.h"
#include "common/WinTestSupport.h"

namespace corvan::crash {
namespace {

using test::Button;
using test::Children;
using test::FindBox;
using test::Press;
using test::Probe;
using test::ReadFile;
using test::TempPath;
using test::WaitForBox;
using test::WindowText;

TEST(ExceptionBoxE2e, ShowsTheMessageAndTheConfiguredButtons) {
  Probe probe({});
  ASSERT_TRUE(probe.Started());
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(box), "exception_box_probe.exe");
  EXPECT_TRUE(GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST);
  const std::vector<HWND> statics = Children(box, "Static");
  ASSERT_EQ(statics.size(), 1u);
  EXPECT_EQ(WindowText(statics[0]), "An error occurred in the application.");
  std::vector<std::string> captions;
  for (HWND b : Children(box, "Button")) {
    if (!WindowText(b).empty()) captions.push_back(WindowText(b));
  }
  // Save and print are hidden by the settings.
  EXPECT_EQ(captions,
            (std::vector<std::string>{"send bug report", "show bug report", "continue application",
                                      "restart application", "close application"}));
  // continue, restart, close stand in a column at the right; send and show
  // in the bottom row beside close.
  RECT c, r, x, s;
  GetWindowRect(Button(box, "continue application"), &c);
  GetWindowRect(Button(box, "restart application"), &r);
  GetWindowRect(Button(box, "close application"), &x);
  GetWindowRect(Button(box, "send bug report"), &s);
  EXPECT_EQ(c.left, r.left);
  EXPECT_EQ(r.left, x.left);
  EXPECT_LT(c.top, r.top);
  EXPECT_LT(r.top, x.top);
  EXPECT_EQ(s.top, x.top);
  EXPECT_LT(s.right, x.left);
  Press(box, Button(box, "continue application"));
  EXPECT_EQ(probe.Exit(), 0u);
}

TEST(ExceptionBoxE2e, ContinueLetsTheProgramGoOn) {
  Probe probe({});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  Press(box, Button(box, "continue application"));
  EXPECT_EQ(probe.Exit(), 0u);
  EXPECT_EQ(probe.Log(), "history 0\ncontinued\n");
}

TEST(ExceptionBoxE2e, CloseEndsTheProgramWithExitCodeOne) {
  Probe probe({});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  Press(box, Button(box, "close application"));
  EXPECT_EQ(probe.Exit(), 1u);
  EXPECT_EQ(probe.Log(), "history 0\n");
}

TEST(ExceptionBoxE2e, RestartHandsTheHistoryToTheNewProcess) {
  Probe probe({});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  Press(box, Button(box, "restart application"));
  EXPECT_EQ(probe.Exit(), 2u);
  // The new process faults again and shows its own box.
  HWND second = WaitForBox(0, probe.Id());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(probe.Log(), "history 0\nhistory 1\n");
  DWORD secondId = 0;
  GetWindowThreadProcessId(second, &secondId);
  HANDLE next = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, secondId);
  ASSERT_NE(next, nullptr);
  Press(second, Button(second, "continue application"));
  WaitForSingleObject(next, 30000);
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(next, &code);
  CloseHandle(next);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(probe.Log(), "history 0\nhistory 1\ncontinued\n");
}

TEST(ExceptionBoxE2e, EscapeContinuesAContinuableException) {
  Probe probe({});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  PostMessageA(box, WM_CLOSE, 0, 0);
  EXPECT_EQ(probe.Exit(), 0u);
}

TEST(ExceptionBoxE2e, CountDownPressesCloseAfterTheDelay) {
  Probe probe({"AutoClose=1", "AutoDelay=2"});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  const auto shown = std::chrono::steady_clock::now();
  EXPECT_EQ(probe.Exit(20000), 1u);
  const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - shown)
                           .count();
  EXPECT_GE(seconds, 1500);
  EXPECT_LT(seconds, 15000);
}

TEST(ExceptionBoxE2e, CountDownContinues) {
  Probe probe({"AutoContinue=true", "AutoDelay=1"});
  ASSERT_NE(WaitForBox(probe.Id()), nullptr);
  EXPECT_EQ(probe.Exit(20000), 0u);
  EXPECT_EQ(probe.Log(), "history 0\ncontinued\n");
}

TEST(ExceptionBoxE2e, MessageBoxHasOnlyAnOkButton) {
  Probe probe({"GnShowCfg=3"});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  std::vector<HWND> buttons;
  for (HWND b : Children(box, "Button")) {
    if (!WindowText(b).empty()) buttons.push_back(b);  // the large picture has no caption
  }
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(WindowText(buttons[0]), "&OK");
  RECT r;
  GetWindowRect(buttons[0], &r);
  EXPECT_GE(r.right - r.left, 75);
  // The message box shows the exception's own message, one sentence a line.
  const std::vector<HWND> statics = Children(box, "Static");
  ASSERT_EQ(statics.size(), 1u);
  EXPECT_EQ(WindowText(statics[0]),
            "The probe failed on purpose while reading its input.\r\nNothing was lost and the "
            "program can go on.");
  Press(box, buttons[0]);
  EXPECT_EQ(probe.Exit(), 0u);
}

TEST(ExceptionBoxE2e, ShowOpensTheDetailsView) {
  Probe probe({});
  HWND box = WaitForBox(probe.Id());
  ASSERT_NE(box, nullptr);
  Press(box, Button(box, "show bug report"));
  HWND details = nullptr;
  ASSERT_TRUE(test::PumpUntil(
      [&] {
        details = FindBox(probe.Id());
        return details && details != box && !Children(details, "SysTabControl32").empty();
      },
      20000));
  EXPECT_EQ(Button(details, "show bug report"), nullptr);
  EXPECT_TRUE(GetWindowLongA(details, GWL_STYLE) & WS_THICKFRAME);
  Press(details, Button(details, "continue application"));
  EXPECT_EQ(probe.Exit(), 0u);
}

// The size of a PNG file as Windows' imaging codecs decode it, every pixel
// read (a broken image stream fails); 0 x 0 when it does not decode.
SIZE DecodedPngSize(const std::string& path) {
  SIZE size{0, 0};
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return size;
  IWICImagingFactory* factory = nullptr;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICFormatConverter* pixels = nullptr;
  const std::wstring wide(path.begin(), path.end());
  GUID format{};
  UINT w = 0, h = 0;
  if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) &&
      SUCCEEDED(factory->CreateDecoderFromFilename(wide.c_str(), nullptr, GENERIC_READ,
                                                   WICDecodeMetadataCacheOnDemand, &decoder)) &&
      SUCCEEDED(decoder->GetContainerFormat(&format)) && format == GUID_ContainerFormatPng &&
      SUCCEEDED(decoder->GetFrame(0, &frame)) &&
      SUCCEEDED(factory->CreateFormatConverter(&pixels)) &&
      SUCCEEDED(pixels->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                   nullptr, 0, WICBitmapPaletteTypeCustom)) &&
      SUCCEEDED(pixels->GetSize(&w, &h))) {
    std::vector<BYTE> buffer(std::size_t{w} * h * 4);
    if (SUCCEEDED(
            pixels->CopyPixels(nullptr, w * 4, static_cast<UINT>(buffer.size()), buffer.data()))) {
      size = {static_cast<LONG>(w), static_cast<LONG>(h)};
    }
  }
  for (IUnknown* object : std::initializer_list<IUnknown*>{pixels, frame, decoder, factory}) {
    if (object) object->Release();
  }
  CoUninitialize();
  return size;
}

using MailedFiles = std::vector<std::pair<std::string, std::string>>;

// Our recording provider as the prefix's mail client; the programs started
// meanwhile log to it what they send.
class RecordedMail {
 public:
  RecordedMail() : log_(TempPath("mapi.log")) {
    DeleteFileA(log_.c_str());
    SetEnvironmentVariableA("CORVAN_FAKE_MAPI_LOG", log_.c_str());
  }
  RecordedMail(const RecordedMail&) = delete;
  RecordedMail& operator=(const RecordedMail&) = delete;
  ~RecordedMail() {
    SetEnvironmentVariableA("CORVAN_FAKE_MAPI_LOG", nullptr);
    DeleteFileA(log_.c_str());
  }

  // Presses "send bug report" and returns the files the client was handed.
  MailedFiles SendFrom(HWND box) const {
    Press(box, Button(box, "send bug report"));
    test::PumpUntil([&] { return ReadFile(log_).find("file ") != std::string::npos; }, 30000);
    test::PumpFor(200);  // the rest of the record
    return FilesIn(ReadFile(log_));
  }

 private:
  // "file <position> [<path>] [<send-as name>]" lines of the log.
  static MailedFiles FilesIn(const std::string& log) {
    MailedFiles files;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t open = line.find('['), middle = line.find("] [", open);
      if (line.rfind("file ", 0) != 0 || open == std::string::npos || middle == std::string::npos)
        continue;
      files.emplace_back(line.substr(open + 1, middle - open - 1),
                         line.substr(middle + 3, line.size() - middle - 4));
    }
    return files;
  }

  test::FakeMailClient client_;
  std::string log_;
};

// What "send bug report" without the assistant handed to the mail client,
// with the screenshot's decoded size read while the box is still open (its
// file lives in the probe's temporary folder), and the minidump apart. The
// box is then continued.
struct BoxSend {
  MailedFiles files;
  std::string dumpSentAs;
  std::string screenshotPath;
  SIZE screenshotSize{0, 0};
  DWORD exitCode = STILL_ACTIVE;
};

BoxSend SendWithoutAssistant(const std::vector<std::string>& extraSettings) {
  BoxSend sent;
  RecordedMail mail;
  std::vector<std::string> settings = {"SendAssis=", "MailAddr=desk@corvan.test"};
  settings.insert(settings.end(), extraSettings.begin(), extraSettings.end());
  Probe probe(settings);
  HWND box = WaitForBox(probe.Id());
  if (!box) return sent;
  sent.files = mail.SendFrom(box);
  std::erase_if(sent.files, [&](const auto& file) {
    if (file.second.rfind("minidump-", 0) != 0) return false;
    sent.dumpSentAs = file.second;
    return true;
  });
  for (const auto& [path, sendAs] : sent.files) {
    if (sendAs != "screenshot.png") continue;
    sent.screenshotPath = path;
    sent.screenshotSize = DecodedPngSize(path);
  }
  Press(box, Button(box, "continue application"));
  sent.exitCode = probe.Exit();
  return sent;
}

// The screenshot is taken when the fault is handled (corvan.exe's settings:
// the whole screen, palette PNG) and goes with the report as its own file.
// So does the minidump, written after the box showed: a send waits for it.
TEST(ExceptionBoxE2e, SendCarriesTheScreenshotOfTheWholeScreen) {
  const BoxSend sent = SendWithoutAssistant({});
  EXPECT_NE(sent.dumpSentAs.find(".dmp"), std::string::npos);
  ASSERT_EQ(sent.files.size(), 2u);
  EXPECT_EQ(sent.files[0].second, "bugreport.txt");
  EXPECT_EQ(sent.files[1].second, "screenshot.png");
  const std::string& path = sent.screenshotPath;
  // Each send writes a file of its own into the process's folder.
  const std::string name = path.substr(path.rfind('\\') + 1);
  EXPECT_EQ(name.rfind("screenShot-", 0), 0u) << name;
  EXPECT_EQ(name.substr(name.size() - 4), ".png") << name;
  EXPECT_EQ(sent.screenshotSize.cx, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(sent.screenshotSize.cy, GetSystemMetrics(SM_CYVIRTUALSCREEN));
  EXPECT_EQ(sent.exitCode, 0u);
}

TEST(ExceptionBoxE2e, WithoutScreenshotDepthOnlyTheReportIsSent) {
  const BoxSend sent = SendWithoutAssistant({"ScrShotDepth=0", "MiniDump=false"});
  EXPECT_EQ(sent.dumpSentAs, "");
  ASSERT_EQ(sent.files.size(), 1u);
  EXPECT_EQ(sent.files[0].second, "bugreport.txt");
  EXPECT_EQ(sent.exitCode, 0u);
}

// The application-only picture of a program without a visible window is
// none: the capture fails and nothing is sent in its place.
TEST(ExceptionBoxE2e, AppOnlyScreenshotOfAProgramWithoutWindowsIsNotSent) {
  const BoxSend sent = SendWithoutAssistant({"ScrShotAppOnly=true"});
  ASSERT_EQ(sent.files.size(), 1u);
  EXPECT_EQ(sent.files[0].second, "bugreport.txt");
}

TEST(ExceptionBoxE2e, ScreenshotZipNameSendsTheScreenshotPacked) {
  const BoxSend sent = SendWithoutAssistant({"ScrShotZip=screen.zip"});
  ASSERT_EQ(sent.files.size(), 2u);
  EXPECT_EQ(sent.files[1].second, "screen.zip");
}

// corvan.exe itself, unchanged: a thread that faults outside our code
// reaches the reporter's last line of defence; such a fault cannot be
// continued, so the box offers restart and close. The report closed
// without a send is kept, and the next start offers it in Dutch.
TEST(ExceptionBoxE2e, CorvanShowsTheBoxForAFaultAndClosesWithExitCodeOne) {
  corvan::test::ClearKeptReports("corvan");
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  for (int up = 0; up < 4; ++up) folder = folder.substr(0, folder.rfind('\\'));
  const std::string exe = folder + "\\corvan.exe", reports = folder + "\\bugreport.txt";
  const std::string before = ReadFile(reports);
  const std::string command = "\"" + exe + "\"";
  {
    test::ChildProcess corvan(command);
    ASSERT_TRUE(corvan.Started());
    WaitForInputIdle(corvan.Handle(), 20000);
    // A thread that starts at address 16: an access violation in no module.
    HANDLE thread =
        CreateRemoteThread(corvan.Handle(), nullptr, 0,
                           reinterpret_cast<LPTHREAD_START_ROUTINE>(16), nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    CloseHandle(thread);
    HWND box = WaitForBox(corvan.Id());
    ASSERT_NE(box, nullptr);
    const std::vector<HWND> statics = Children(box, "Static");
    ASSERT_EQ(statics.size(), 1u);
    EXPECT_EQ(WindowText(statics[0]), "An error occurred in the application.");
    HWND cont = Button(box, "continue application");
    ASSERT_NE(cont, nullptr);
    EXPECT_FALSE(IsWindowEnabled(cont));
    ASSERT_NE(Button(box, "restart application"), nullptr);
    Press(box, Button(box, "close application"));
    EXPECT_EQ(corvan.Exit(), 1u);
  }
  // The report was kept in the bug report file beside the program: added,
  // or, when an earlier run left the same fault there, its count raised
  // (which need not change the file's size).
  const std::string after = ReadFile(reports);
  EXPECT_NE(after, before);
  EXPECT_NE(after.find("exception message"), std::string::npos);

  const std::vector<std::string> kept = corvan::test::KeptReportNames("corvan");
  ASSERT_EQ(kept.size(), 1u);
  const std::string entry = corvan::test::KeptReportsFolder("corvan") + "\\" + kept[0];
  EXPECT_NE(ReadFile(entry + "\\report.txt").find("exception message"), std::string::npos);
  test::ChildProcess corvan(command);
  ASSERT_TRUE(corvan.Started());
  HWND offer = nullptr;
  for (int i = 0; i < 400 && !offer; ++i) {
    offer = FindWindowA("#32770", "CorVANNG");
    if (!offer) Sleep(50);
  }
  ASSERT_NE(offer, nullptr);
  const std::vector<HWND> statics = Children(offer, "Static");
  ASSERT_FALSE(statics.empty());
  EXPECT_EQ(WindowText(statics[0]),
            "Een foutrapport van een eerdere sessie is nog niet verzonden.\r\n"
            "Wilt u het nu verzenden?");
  EXPECT_NE(Button(offer, "Nu verzenden"), nullptr);
  EXPECT_NE(Button(offer, "Later"), nullptr);
  Press(offer, Button(offer, "Nooit"));
  Sleep(1000);
  corvan.End();
  EXPECT_TRUE(corvan::test::KeptReportNames("corvan").empty());
}

}  // namespace
}  // namespace corvan::crash
