#include "crash/reporter/ReportDelivery.h"

#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReporterFolder.h"
#include "crash/core/SaveReport.h"
#include "crash/deliver/BugReportDelivery.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

std::string ExeFolder() { return FolderPart(ModulePath(nullptr)); }

// A send may come before anything else was put there.
std::string DeliveryTempFolder() {
  const std::string folder = PreparedReporterTempFolder();
  return folder.empty() ? ExeFolder() : folder;
}

// A sent report leaves the kept ones, under the queue's lock so that a
// report being kept meanwhile is not left behind.
void MarkReportSent(ExceptionReport& report) {
  auto lock = LockUnsentQueue();
  report.SetSent(true);
  if (!report.KeptAs().empty()) {
    RemoveKeptReport(UnsentQueueFolder(), report.KeptAs());
    report.SetKeptAs({});
  }
}

void KeepUnsentReport(ExceptionReport& report);

// Lives as long as its send, in the background too (the send thread holds
// it): the files it reads in the reporter's folder stay that long.
class ExceptionDelivery final : public DeliveryReport {
 public:
  explicit ExceptionDelivery(ExceptionReport& report) : report_(&report) {}

  ReporterSettings& Settings() override { return *report_; }
  std::string BugReportFile() override { return BugReportFileName(*report_); }
  bool SavedToFile() override { return report_->SavedToFile(); }
  bool SaveInto(const std::string& path) override { return SaveReportInto(*report_, path); }
  void MarkSent() override { MarkReportSent(*report_); }
  // Before the message's end goes out, not after: should the program end
  // in between, the report is missing from the queue (it stays in the bug
  // report file) rather than sent twice.
  void MarkHandedOver() override { MarkReportSent(*report_); }
  void MarkRefused() override {
    report_->SetSent(false);
    KeepUnsentReport(*report_);
  }
  std::string TempFolder() override { return DeliveryTempFolder(); }
  std::string ExeFolder() override { return crash::ExeFolder(); }

 private:
  Ref<ExceptionReport> report_;
  ReporterFolderUse folderUse_;
};

QueueBounds BoundsOf(ReporterSettings& settings) {
  const std::int32_t megabytes = settings.GetInt("UnsentMaxMB");
  return {settings.GetInt("UnsentMaxReports"), megabytes > 0 ? std::uint64_t(megabytes) << 20 : 0};
}

std::string Absolute(const std::string& path) {
  const bool absolute = path.size() > 1 && (path[1] == ':' || (path[0] == '\\' && path[1] == '\\'));
  return absolute ? path : ExeFolder() + path;
}

// The report text stands for the bug report copy: the bug report file may
// hold other reports by the time this one goes out, or be gone. The
// screenshot goes as a send would take it, from a file of screenshotPath.
std::vector<AttachmentEntry> KeptAttachments(ReporterSettings& settings,
                                             const std::string& screenshotPath) {
  std::vector<AttachmentEntry> attachments;
  if (settings.GetBool("AttachBugRep")) {
    attachments.push_back(
        {"", settings.GetStr("BugRepSendAs"), settings.GetStr("BugRepZip"), "BugReport"});
  }
  if (!screenshotPath.empty()) {
    attachments.push_back({screenshotPath, settings.GetStr("ScrShotSendAs"),
                           settings.GetStr("ScrShotZip"), "ScreenShot"});
  }
  for (AttachmentEntry entry : settings.AdditionalAttachments()->Entries()) {
    entry.source = Absolute(entry.source);
    attachments.push_back(std::move(entry));
  }
  return attachments;
}

void SendReport(ExceptionReport& report, const std::string& text, HWND parent, bool hidden,
                bool background) {
  Ref<ExceptionDelivery> delivery = MakeRef<ExceptionDelivery>(report);
  Ref<INVBitmap> screenshot = report.SendScreenshot() ? report.Screenshot() : nullptr;
  HANDLE started = nullptr;
  DeliverBugReport(text, std::move(screenshot), parent, hidden, background, *delivery, false,
                   &started);
  report.AdoptSendThread(started);
}

void KeepUnsentReport(ExceptionReport& report) {
  if (!report.CreateBugReport() || !report.GetBool("KeepUnsent") || report.Sent()) return;
  // The shell's folder lookup needs the loader lock: a blocked process
  // keeps nothing.
  if (IsLoaderLockHeld(250)) return;
  const std::string text = report.ReportText(true);
  auto lock = LockUnsentQueue();
  if (report.Sent() || !report.KeptAs().empty()) return;
  // The kept entry holds a copy of the picture's file.
  std::string screenshot;
  if (Ref<INVBitmap> picture = report.SendScreenshot() ? report.Screenshot() : nullptr) {
    screenshot = WriteScreenshotFile(*picture, report, DeliveryTempFolder());
  }
  report.SetKeptAs(
      KeepReport(UnsentQueueFolder(), text, KeptAttachments(report, screenshot), BoundsOf(report)));
  if (!screenshot.empty()) DeleteFileA(screenshot.c_str());
}

class Deliverer final : public ReportDeliverer {
 public:
  void Send(ExceptionReport& report, const std::string& text, HWND parent, bool hidden,
            bool background) override {
    SendReport(report, text, parent, hidden, background);
  }
  void KeepUnsent(ExceptionReport& report) override { KeepUnsentReport(report); }
};

constinit Deliverer deliverer;

}  // namespace

ReportDeliverer& MailDeliverer() { return deliverer; }

KeptReports UnsentReportsToOffer() {
  Ref<ReporterSettings> settings = SettingsForModule(GetModuleHandleA(nullptr));
  if (!settings || !settings->GetBool("KeepUnsent")) return {};
  auto lock = LockUnsentQueue();
  KeptReports kept = ListKeptReports(UnsentQueueFolder());
  for (const std::string& note : kept.notes)
    OutputDebugStringA(("unsent reports: " + note + "\n").c_str());
  return kept;
}

int SendUnsentReports(const KeptReports& kept, HWND parent) {
  Ref<ReporterSettings> settings = SettingsForModule(GetModuleHandleA(nullptr));
  if (!settings) return 0;
  const std::string folder = UnsentQueueFolder();
  const ReporterFolderUse folderUse;
  int sent = 0;
  for (const KeptReport& report : kept.reports) {
    Ref<AttachmentList> attachments = MakeRef<AttachmentList>();
    for (const AttachmentEntry& entry : report.attachments) {
      attachments->AddFile(entry.source, entry.sendAs, entry.field, entry.zip);
    }
    const SendResult result = DeliverKeptReport(report.text, *attachments, *settings, parent,
                                                ExeFolder(), DeliveryTempFolder());
    if (result != SendResult::Sent) break;
    auto lock = LockUnsentQueue();
    RemoveKeptReport(folder, report.name);
    ++sent;
  }
  return sent;
}

void DropUnsentReports() {
  auto lock = LockUnsentQueue();
  RemoveKeptReports(UnsentQueueFolder());
}

}  // namespace corvan::crash
