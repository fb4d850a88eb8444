// Sending through the user's mail client under Wine: our recording MAPI
// provider is registered as the prefix's mail client, so what MAPISendMail
// really received (flags, recipients, attachments) is read back from its log.
#include <winsock2.h>
// winsock2.h before windows.h
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/WinHandles.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ThreadPause.h"
#include "crash/core/MemorySettings.h"
#include "crash/core/SettingsStream.h"
#include "crash/deliver/BugReportDelivery.h"
#include "crash/deliver/FakeMailClient.h"
#include "crash/deliver/MailPeerFiles.h"

namespace corvan::crash {
namespace {

using test::AttachmentFolderFixture;
using test::ExeFolder;
using test::FakeMailClient;
using test::ReadWholeFile;

class RecordedReport final : public DeliveryReport {
 public:
  RecordedReport(Ref<ReporterSettings> settings, std::string folder)
      : settings_(std::move(settings)), folder_(std::move(folder)) {}
  ReporterSettings& Settings() override { return *settings_; }
  std::string BugReportFile() override { return folder_ + "bugreport.txt"; }
  bool SavedToFile() override { return true; }
  bool SaveInto(const std::string& path) override {
    test::WriteWholeFile(path, "saved report\r\n");
    return true;
  }
  void MarkSent() override { sent = true; }
  void MarkHandedOver() override {}
  void MarkRefused() override {}
  std::string TempFolder() override { return folder_ + "temp\\"; }
  std::string ExeFolder() override { return folder_; }

  bool sent = false;

 private:
  Ref<ReporterSettings> settings_;
  std::string folder_;
};

class MailClient : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = files.Path("");
    log = folder + "mapi.log";
    CreateDirectoryA((folder + "temp").c_str(), nullptr);
    SetEnvironmentVariableA("CORVAN_FAKE_MAPI_LOG", log.c_str());
    SetEnvironmentVariableA("CORVAN_FAKE_MAPI_RESULT", nullptr);
  }
  void TearDown() override {
    for (const char* name : {"mapi.log", "temp\\bugreport.txt"}) {
      DeleteFileA((folder + name).c_str());
    }
    RemoveDirectoryA((folder + "temp").c_str());
  }

  Ref<RecordedReport> Report(std::vector<Setting> extra) {
    std::vector<Setting> settings = {Setting::Bool("MailViaMapi", true),
                                     Setting::Bool("MailViaMailto", true),
                                     Setting::Bool("AttachBugRep", true),
                                     Setting::Bool("AttachBugRepFile", true),
                                     Setting::Bool("DelBugRepFile", true),
                                     Setting::Bool("AutoSendBox", false),
                                     Setting::Str("BugRepSendAs", "report.txt"),
                                     Setting::Str("BugRepZip", ""),
                                     Setting::Str("MailSubj", "crash: %exceptMsg%"),
                                     Setting::Str("AddAttachs", "")};
    // The first of equally named settings counts.
    settings.insert(settings.begin(), extra.begin(), extra.end());
    records.resources[env.exe] = WriteSettingsStream(settings);
    return MakeRef<RecordedReport>(MakeRef<ReporterSettings>(env.exe, records, env, true), folder);
  }
  SendResult Deliver(RecordedReport& report, bool hidden) {
    return DeliverBugReport("x\r\nexception message : Boom.\r\n", nullptr, nullptr, hidden, false,
                            report, false, nullptr);
  }
  bool BugReportFileExists() const {
    return GetFileAttributesA((folder + "bugreport.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  FakeMailClient client;
  AttachmentFolderFixture files;
  test::MemorySettingsRecords records;
  test::FakeEnvironment env;
  std::string folder, log;
};

TEST_F(MailClient, HiddenSendHandsOverRecipientsAndFilesSilently) {
  const std::vector<PreparedFile> attached = {
      {files.Path("bugreport.txt"), "report.txt", "BugReport"},
      {files.Path("empty.log"), "empty.log", "Log"}};
  EXPECT_EQ(MapiSend("Help Desk <desk@corvan.test>; second@corvan.test", "subject", "body", true,
                     nullptr, attached),
            SendResult::Sent);
  EXPECT_EQ(ReadWholeFile(log),
            "session 0 flags 0\nsubject subject\nbody body\n"
            "to 1 [Help Desk ] [SMTP:desk@corvan.test]\n"
            "to 1 [second@corvan.test] [SMTP:second@corvan.test]\n"
            "file ffffffff [" +
                attached[0].path +
                "] [report.txt]\n"
                "file ffffffff [" +
                attached[1].path + "] [empty.log]\n");
}

// A mail client that waits for the program's windows while the pipeline
// has the main thread paused: the main thread runs for the call and is
// paused again afterwards.
TEST_F(MailClient, PausedMainThreadAnswersTheMailClient) {
  SetMainThreadId(GetCurrentThreadId());
  HWND window = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_WINDOW",
                          std::to_string(reinterpret_cast<std::uintptr_t>(window)).c_str());
  const auto answers = [window] {
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 500, &answer) != 0;
  };
  std::atomic<bool> done{false};
  bool answeredBefore = true, answeredAfter = true;
  SendResult result = SendResult::Failed;
  std::thread worker([&] {
    SetThreadsPaused(true, 0);
    Sleep(300);  // the main thread reaches its next message call
    answeredBefore = answers();
    result = MapiSend("a@x.test", "s", "b", true, nullptr, {});
    Sleep(300);
    answeredAfter = answers();
    SetThreadsPaused(false, 0);
    done = true;
  });
  while (!done) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  worker.join();
  RemovePauseHooks();
  DestroyWindow(window);
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_WINDOW", nullptr);
  EXPECT_FALSE(answeredBefore);
  EXPECT_EQ(result, SendResult::Sent);
  EXPECT_FALSE(answeredAfter);
  EXPECT_EQ(ReadWholeFile(log).rfind("window answered yes\n", 0), 0u) << ReadWholeFile(log);
}

// Whether the main thread gets through its next pause point within a
// second; a helper thread plays the main thread (one still held is let go
// when the pause ends).
DWORD WINAPI PassPausePoint(void*) noexcept {
  PausePoint();
  return 0;
}

bool MainThreadPasses() {
  ScopedHandle main(CreateThread(nullptr, 0, PassPausePoint, nullptr, CREATE_SUSPENDED, nullptr));
  SetMainThreadId(GetThreadId(main.get()));
  ResumeThread(main.get());
  return WaitForSingleObject(main.get(), 1000) == WAIT_OBJECT_0;
}

// Without a pause nothing is resumed; nested callers keep the main thread
// running until the last is done; a pause ended during a call stays ended,
// so the main thread is never left waiting for good.
TEST_F(MailClient, MailClientLeavesNoPauseBehind) {
  EXPECT_FALSE(ResumeMainThreadForHandlers());
  SetThreadsPaused(true, 0);
  EXPECT_FALSE(MainThreadPasses());
  {
    MainThreadRunning first;
    { MainThreadRunning second; }
    EXPECT_TRUE(MainThreadPasses());
  }
  EXPECT_FALSE(MainThreadPasses());
  {
    MainThreadRunning call;
    SetThreadsPaused(false, 0);
  }
  EXPECT_TRUE(MainThreadPasses());
  RemovePauseHooks();
}

TEST_F(MailClient, ClientAnswersBecomeResults) {
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_RESULT", "1");
  EXPECT_EQ(MapiSend("a@x.test", "s", "b", true, nullptr, {}), SendResult::Cancelled);
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_RESULT", "3");
  EXPECT_EQ(MapiSend("a@x.test", "s", "b", true, nullptr, {}), SendResult::Failed);
}

TEST_F(MailClient, SentReportCopyDeletesTheBugReportFile) {
  Ref<RecordedReport> report = Report({Setting::Str("MailAddr", "desk@corvan.test")});
  EXPECT_EQ(Deliver(*report, true), SendResult::Sent);
  EXPECT_TRUE(report->sent);
  EXPECT_FALSE(BugReportFileExists());
  const std::string recorded = ReadWholeFile(log);
  EXPECT_NE(recorded.find("subject crash: Boom.\n"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("file ffffffff [" + folder + "temp\\bugreport.txt] [report.txt]"),
            std::string::npos)
      << recorded;
  // The copy holds the file's content: the file had this report already.
  EXPECT_EQ(ReadWholeFile(folder + "temp\\bugreport.txt"), files.report);
}

TEST_F(MailClient, CancelKeepsTheFileAndTriesNothingElse) {
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_RESULT", "1");
  Ref<RecordedReport> report = Report({Setting::Str("MailAddr", "desk@corvan.test")});
  // Shown: a fall-through to mailto or the error box would be a failure here.
  EXPECT_EQ(Deliver(*report, false), SendResult::Cancelled);
  EXPECT_FALSE(report->sent);
  EXPECT_TRUE(BugReportFileExists());
  EXPECT_NE(ReadWholeFile(log).find("flags 9\n"), std::string::npos);
}

TEST_F(MailClient, HiddenSendWithoutRecipientsOpensNoMailWindow) {
  Ref<RecordedReport> report = Report({Setting::Str("MailAddr", "")});
  EXPECT_EQ(Deliver(*report, true), SendResult::Failed);
  EXPECT_FALSE(report->sent);
  EXPECT_TRUE(BugReportFileExists());
  EXPECT_EQ(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The recorder as the prefix's mailto handler, the previous one put back
// afterwards.
class MailtoRecorder {
 public:
  MailtoRecorder() {
    HKEY opened = nullptr;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &opened, nullptr);
    key_.reset(opened);
    char value[MAX_PATH * 2] = {};
    DWORD size = sizeof value;
    hadValue_ = RegQueryValueExA(key_.get(), nullptr, nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
    previous_ = value;
    Set("\"" + ExeFolder() + "mailto_recorder.exe\" \"%1\"");
  }
  MailtoRecorder(const MailtoRecorder&) = delete;
  MailtoRecorder& operator=(const MailtoRecorder&) = delete;
  ~MailtoRecorder() {
    if (hadValue_) {
      Set(previous_);
    } else {
      RegDeleteValueA(key_.get(), nullptr);
    }
  }

 private:
  void Set(const std::string& value) {
    RegSetValueExA(key_.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }

  ScopedRegistryKey key_;
  bool hadValue_ = false;
  std::string previous_;
};

class Mailto : public MailClient {
 protected:
  void SetUp() override {
    MailClient::SetUp();
    mailtoLog = folder + "mailto.log";
    SetEnvironmentVariableA("CORVAN_MAILTO_LOG", mailtoLog.c_str());
  }
  void TearDown() override {
    DeleteFileA(mailtoLog.c_str());
    MailClient::TearDown();
  }
  // The handler's command line, once it has run.
  std::string Recorded() const {
    for (int i = 0; i < 200; ++i) {
      if (GetFileAttributesA(mailtoLog.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return ReadWholeFile(mailtoLog);
      }
      Sleep(50);
    }
    return {};
  }

  MailtoRecorder recorder;
  std::string mailtoLog;
};

// The mailto program only opens a message: the report is not marked sent,
// so it stays queued.
TEST_F(Mailto, HandlerGetsTheReportAsBodyAndTheReportStaysUnsent) {
  Ref<RecordedReport> report =
      Report({Setting::Bool("MailViaMapi", false), Setting::Str("MailAddr", "a@x.test; b@y.test")});
  EXPECT_EQ(Deliver(*report, false), SendResult::Sent);
  EXPECT_FALSE(report->sent);
  // Nothing was attached: the link carries the text only, so the bug report
  // file must not go.
  EXPECT_TRUE(BugReportFileExists());
  EXPECT_EQ(GetFileAttributesA((folder + "temp\\bugreport.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Recorded(),
            "\"" + ExeFolder() +
                "mailto_recorder.exe\" \"mailto:a@x.test,b@y.test?subject=crash:%20Boom."
                "&body=x%0D%0Aexception%20message%20:%20Boom.%0D%0A\"");
}

TEST_F(Mailto, MailClientCancelOpensNoMailto) {
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_RESULT", "1");
  Ref<RecordedReport> report = Report({Setting::Str("MailAddr", "a@x.test")});
  EXPECT_EQ(Deliver(*report, false), SendResult::Cancelled);
  Sleep(300);
  EXPECT_EQ(GetFileAttributesA(mailtoLog.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Mailto, FailedMailClientFallsBackToMailtoAndKeepsTheFile) {
  SetEnvironmentVariableA("CORVAN_FAKE_MAPI_RESULT", "2");
  Ref<RecordedReport> report = Report({Setting::Str("MailAddr", "a@x.test")});
  EXPECT_EQ(Deliver(*report, false), SendResult::Sent);
  EXPECT_FALSE(report->sent);
  EXPECT_NE(Recorded().find("mailto:a@x.test?subject="), std::string::npos);
  EXPECT_TRUE(BugReportFileExists());
}

}  // namespace
}  // namespace corvan::crash
