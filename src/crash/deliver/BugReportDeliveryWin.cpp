// Sending a bug report on Windows: the attachments in the reporter's
// temporary folder, the first channel over Windows Sockets, then the user's
// MAPI client, then the mailto handler.
#include <winsock2.h>
// winsock2.h before windows.h
#include <mapi.h>

#include <atomic>
#include <memory>

#include "common/SystemLibrary.h"
#include "common/WinHandles.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/core/ThreadPause.h"
#include "crash/deliver/BugReportDelivery.h"
#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/MailAddress.h"
#include "crash/deliver/MailJobSettings.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr DWORD kLockWaitMs = 250;

void MakeNotTopmost(HWND window) {
  if (window) {
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a background send holds until it ends.
struct SendThreadRecord {
  std::string report;
  Ref<INVBitmap> screenshot;
  bool hidden;
  Ref<DeliveryReport> target;
};

DWORD WINAPI SendThread(void* parameter) noexcept {
  std::unique_ptr<SendThreadRecord> record(static_cast<SendThreadRecord*>(parameter));
  try {
    DeliverBugReport(record->report, record->screenshot, nullptr, record->hidden, true,
                     *record->target, true, nullptr);
  } catch (...) {
  }
  return 0;
}

// The copy of the bug report file that goes out, and whether the file may
// be deleted once it has.
struct ReportCopy {
  std::string path;  // empty: none
  bool deleteAfterSend = false;
};

ReportCopy PrepareReportCopy(DeliveryReport& target) {
  ReporterSettings& settings = target.Settings();
  ReportCopy copy;
  const std::string file = target.BugReportFile();
  const std::string temp = target.TempFolder() + FileNameOf(file);
  bool copied = false;
  if (settings.GetBool("AttachBugRepFile")) {
    copied = CopyFileA(file.c_str(), temp.c_str(), FALSE) != 0;
    copy.deleteAfterSend = copied;
  }
  if (!(copied && target.SavedToFile()) && !target.SaveInto(temp)) DeleteFileA(temp.c_str());
  if (!FileExists(temp)) {
    copy.deleteAfterSend = false;
    return copy;
  }
  copy.path = temp;
  return copy;
}

// Passes a message's hand-over on to the report being sent (none: a kept
// report, whose entry stays until the send returns).
class ReportHandover final : public HandoverWatch {
 public:
  explicit ReportHandover(DeliveryReport* target) : target_(target) {}
  void Handing() override {
    if (target_) target_->MarkHandedOver();
  }
  void Refused() override {
    if (target_) target_->MarkRefused();
  }

 private:
  DeliveryReport* target_;
};

class WinChannels final : public DeliveryChannels {
 public:
  WinChannels(ReporterSettings& settings, IProgressAlert* progress, HWND parent, bool hidden,
              const std::vector<PreparedFile>& files, DeliveryReport* target)
      : settings_(settings),
        progress_(progress),
        parent_(parent),
        hidden_(hidden),
        files_(files),
        handover_(target) {}

  bool SendFirst(const MailJob& job) override {
    MailJob withFiles = job;
    withFiles.files = files_;
    return RunTransport(withFiles, progress_, &handover_);
  }
  SendResult SendMapi(const std::string& recipients, const std::string& subject,
                      const std::string& body) override {
    return MapiSend(recipients, subject, body, hidden_, parent_, files_);
  }
  bool SendMailto(const std::string& recipients, const std::string& subject,
                  const std::string& body) override {
    MakeNotTopmost(parent_);
    return MailtoSend(recipients, subject, body);
  }
  void ShowFailure() override {
    MessageBoxA(parent_, settings_.GetStr("SendFailMsg").c_str(), nullptr, MB_ICONERROR);
  }

 private:
  ReporterSettings& settings_;
  IProgressAlert* progress_;
  HWND parent_;
  bool hidden_;
  const std::vector<PreparedFile>& files_;
  ReportHandover handover_;
};

// Keeps a topmost window below the mail client's for the time of the call.
class TopmostPause {
 public:
  explicit TopmostPause(HWND window)
      : window_(window && (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) ? window
                                                                                : nullptr) {
    MakeNotTopmost(window_);
  }
  TopmostPause(const TopmostPause&) = delete;
  TopmostPause& operator=(const TopmostPause&) = delete;
  ~TopmostPause() {
    if (window_) {
      SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }

 private:
  HWND window_;
};

bool AttachesFiles(ReporterSettings& settings) {
  return settings.GetBool("MailViaMapi") || settings.GetBool("MailAsSmtpServer") ||
         settings.GetBool("MailAsSmtpClient") || settings.GetBool("UploadViaHttp");
}

// The channels of the plan with the list's files prepared (zipped, progress
// window opened) for them.
ChannelOutcome SendOverChannels(const ChannelPlan& plan, ReporterSettings& settings,
                                AttachmentList* attachments, HWND parent, bool inThread,
                                const std::string& exeFolder, const std::string& tempFolder,
                                DeliveryReport* target) {
  PreparedAttachments prepared;
  if (attachments) {
    prepared = PrepareAttachmentFiles(settings, *attachments, parent, plan.hidden, inThread,
                                      exeFolder, tempFolder);
  }
  WinChannels channels(settings, prepared.progress.get(), parent, plan.hidden, prepared.files,
                       target);
  const ChannelOutcome outcome = RunChannels(plan, channels);
  // The transport closes the window; without a first channel it is ours to close.
  if (prepared.progress && !plan.first) prepared.progress->Close();
  return outcome;
}

// What a report sends besides its text: the copy of the bug report file,
// the screenshot's PNG and the configured additional files.
struct CollectedAttachments {
  Ref<AttachmentList> list;
  std::string screenshot;  // empty: none
  // The bug report file may be deleted once its copy went out.
  bool bugReportFileMayGo = false;
};

CollectedAttachments CollectAttachments(DeliveryReport& target, INVBitmap* screenshot) {
  ReporterSettings& settings = target.Settings();
  CollectedAttachments collected;
  collected.list = MakeRef<AttachmentList>();
  if (settings.GetBool("AttachBugRep")) {
    const ReportCopy copy = PrepareReportCopy(target);
    collected.bugReportFileMayGo = copy.deleteAfterSend;
    if (!copy.path.empty()) {
      collected.list->AddFile(copy.path, settings.GetStr("BugRepSendAs"), "BugReport",
                              settings.GetStr("BugRepZip"));
    }
  }
  if (screenshot) {
    collected.screenshot = WriteScreenshotFile(*screenshot, settings, target.TempFolder());
    if (!collected.screenshot.empty()) {
      collected.list->AddFile(collected.screenshot, settings.GetStr("ScrShotSendAs"), "ScreenShot",
                              settings.GetStr("ScrShotZip"));
    }
  }
  for (const AttachmentEntry& entry : settings.AdditionalAttachments()->Entries()) {
    collected.list->AddFile(entry.source, entry.sendAs, entry.field, entry.zip);
  }
  return collected;
}

}  // namespace

std::string WriteScreenshotFile(INVBitmap& screenshot, ReporterSettings& settings,
                                const std::string& folder) {
  static std::atomic<std::uint32_t> serial{0};
  const std::string path = folder + "screenShot-" + std::to_string(++serial) + ".png";
  DeleteFileA(path.c_str());  // left by an earlier process of this id
  const int mode = PngModeForDepth(settings.GetInt("ScrShotDepth"));
  return screenshot.WritePng(path, mode) ? path : std::string();
}

SendResult DeliverBugReport(const std::string& report, Ref<INVBitmap> screenshot, HWND parent,
                            bool hidden, bool background, DeliveryReport& target, bool inThread,
                            HANDLE* threadSlot) {
  if (threadSlot) *threadSlot = nullptr;
  ReporterSettings& settings = target.Settings();
  const ChannelPlan plan = PlanChannels(settings, report, hidden);
  // Checked before a thread starts: a started thread would count as sent.
  if (!Reachable(plan)) return SendResult::Failed;
  if (background && !inThread && !IsLoaderLockHeld(kLockWaitMs)) {
    MakeNotTopmost(parent);
    auto record = std::make_unique<SendThreadRecord>(
        SendThreadRecord{report, screenshot, hidden, Ref<DeliveryReport>(&target)});
    ScopedHandle thread(CreateThread(nullptr, 0, SendThread, record.get(), 0, nullptr));
    if (thread) {
      record.release();  // the thread frees it
      if (threadSlot) *threadSlot = thread.release();
      return SendResult::Sent;
    }
  }

  CollectedAttachments collected;
  const bool attach = AttachesFiles(settings);
  if (attach) collected = CollectAttachments(target, screenshot.get());
  const ChannelOutcome outcome =
      SendOverChannels(plan, settings, attach ? collected.list.get() : nullptr, parent, inThread,
                       target.ExeFolder(), target.TempFolder(), &target);
  if (!collected.screenshot.empty() && (outcome.firstSent || !plan.mapi)) {
    DeleteFileA(collected.screenshot.c_str());
  }
  if (outcome.Delivered()) {
    target.MarkSent();
    if (collected.bugReportFileMayGo && settings.GetBool("DelBugRepFile")) {
      const std::string file = target.BugReportFile();
      SetFileAttributesA(file.c_str(), 0);
      DeleteFileA(file.c_str());
    }
  }
  return outcome.result;
}

SendResult DeliverKeptReport(const std::string& report, AttachmentList& attachments,
                             ReporterSettings& settings, HWND parent, const std::string& exeFolder,
                             const std::string& tempFolder) {
  const ChannelPlan plan = PlanChannels(settings, report, false);
  const ChannelOutcome outcome =
      SendOverChannels(plan, settings, AttachesFiles(settings) ? &attachments : nullptr, parent,
                       false, exeFolder, tempFolder, nullptr);
  // Handed to the mailto program only: kept, and offered again.
  return outcome.viaMailto ? SendResult::Failed : outcome.result;
}

SendResult MapiSend(const std::string& recipients, const std::string& subject,
                    const std::string& body, bool hidden, HWND parent,
                    const std::vector<PreparedFile>& files) {
  if (IsLoaderLockHeld(kLockWaitMs)) return SendResult::Failed;
  ScopedModule mapi(LoadSystemLibrary("mapi32.dll"));
  if (!mapi) return SendResult::Failed;
  const auto send = reinterpret_cast<LPMAPISENDMAIL>(
      reinterpret_cast<void*>(GetProcAddress(mapi.get(), "MAPISendMail")));
  if (!send) return SendResult::Failed;

  // MAPI takes non-const strings; these live until the call returns.
  std::vector<MapiRecipient> items;
  for (const std::string& item : SplitRecipients(recipients)) items.push_back(SplitRecipient(item));
  std::vector<MapiRecipDesc> to(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    to[i].ulRecipClass = MAPI_TO;
    to[i].lpszName = items[i].name.data();
    to[i].lpszAddress = items[i].address.data();
  }
  std::vector<PreparedFile> names = files;
  std::vector<MapiFileDesc> attached(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    attached[i].nPosition = 0xFFFFFFFF;
    attached[i].lpszPathName = names[i].path.data();
    attached[i].lpszFileName = names[i].sendAs.data();
  }
  std::string subjectText = subject, bodyText = body;
  MapiMessage message{};
  message.lpszSubject = subjectText.data();
  message.lpszNoteText = bodyText.data();
  message.nRecipCount = static_cast<ULONG>(to.size());
  message.lpRecips = to.empty() ? nullptr : to.data();
  message.nFileCount = static_cast<ULONG>(attached.size());
  message.lpFiles = attached.empty() ? nullptr : attached.data();

  ULONG status;
  {
    TopmostPause pause(parent);
    // A mail client may wait for the program's windows (DDE, broadcasts,
    // its compose window owned by ours): a paused main thread must answer.
    MainThreadRunning mainThread;
    status = send(0, reinterpret_cast<ULONG_PTR>(parent), &message,
                  MapiSendFlags(hidden, !to.empty()), 0);
  }
  if (status == SUCCESS_SUCCESS) return SendResult::Sent;
  return status == MAPI_USER_ABORT ? SendResult::Cancelled : SendResult::Failed;
}

bool MailtoSend(const std::string& recipients, const std::string& subject,
                const std::string& body) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, KEY_READ, &opened) !=
      ERROR_SUCCESS) {
    return false;
  }
  ScopedRegistryKey key(opened);
  char value[261] = {};
  DWORD size = 260;
  DWORD type = 0;
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  char expanded[MAX_PATH * 4] = {};
  const DWORD length = ExpandEnvironmentStringsA(value, expanded, sizeof expanded);
  if (length == 0 || length > sizeof expanded || expanded[0] == '\0') return false;

  std::string commandLine = MailtoCommandLine(expanded, recipients, subject, body);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  ScopedHandle processHandle(process.hProcess), threadHandle(process.hThread);
  return true;
}

}  // namespace corvan::crash
