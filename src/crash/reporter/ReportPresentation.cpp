#include "crash/reporter/ReportPresentation.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/BugReportFileWin.h"
#include "crash/core/SaveReport.h"
#include "crash/core/ExceptionHistory.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ExceptionReport.h"
#include "crash/reporter/ReportAssistant.h"
#include "crash/ui/Clipboard.h"
#include "crash/ui/ScreenCapture.h"
#include "crash/ui/zelExceptBox.h"
#include "crash/ui/zelNVPrgrAlert.h"

namespace corvan::crash {
namespace {

// The exception box's view of an exception report.
class BoxReport final : public ExceptionBoxReport {
 public:
  explicit BoxReport(ExceptionReport& report) : report_(report) {}
  ~BoxReport() {
    if (listening_) report_.RemoveListener(Changed, this);
  }
  BoxReport(const BoxReport&) = delete;
  BoxReport& operator=(const BoxReport&) = delete;

  bool GetBool(std::string_view name) const override { return report_.GetBool(name); }
  std::int32_t GetInt(std::string_view name) const override { return report_.GetInt(name); }
  std::string GetStr(std::string_view name) const override { return report_.GetStr(name); }
  void SetBool(std::string_view name, bool value) override { report_.SetBool(name, value); }
  void SetInt(std::string_view name, std::int32_t value) override { report_.SetInt(name, value); }
  std::string ExpandWithMessage(std::string_view text, const std::string& message) const override {
    const ReportTexts texts{message, {}};
    return report_.Expand(text, &texts);
  }

  HMODULE PictureModule() const override { return static_cast<HMODULE>(report_.Module()); }
  std::string ExceptionMessage() const override { return report_.ExceptionMessage(); }
  bool IsFreeze() const override { return report_.Source() == ExceptionSource::Freeze; }
  bool CanContinue() const override { return report_.CanContinue(); }
  bool IsConsoleProgram() const override { return crash::IsConsoleProgram(); }
  bool AutoCloseDue() const override { return Due("AutoClose"); }
  bool AutoRestartDue() const override { return Due("AutoRestart"); }

  NamedTexts HeaderFields() override { return report_.Header()->Items(); }
  NamedTexts Sections() override { return report_.Sections()->Items(); }
  std::string ReportText(bool complete) override { return report_.ReportText(complete); }

  void AddChangeListener(ChangeCallback callback, void* context) override {
    {
      std::lock_guard lock(lock_);
      callbacks_.push_back({callback, context});
    }
    if (!listening_) {
      listening_ = true;
      report_.AddListener(Changed, this, false);
    }
  }
  void RemoveChangeListener(ChangeCallback callback, void* context) override {
    std::lock_guard lock(lock_);
    callbacks_.erase(
        std::remove_if(callbacks_.begin(), callbacks_.end(),
                       [&](const Callback& c) { return c.fn == callback && c.context == context; }),
        callbacks_.end());
  }

  bool FireAction(int action, HWND parent) override {
    return FireReportAction(report_, static_cast<ReportAction>(action), parent);
  }
  // The box ends the program next: running sends are waited for.
  void FinishAutomaticActions() override { crash::FinishAutomaticActions(report_, true); }
  void RestartProgram() override { EndProgram(true); }
  void TerminateProgram() override { EndProgram(false); }
  void Send(HWND parent) override {
    Deliverer().Send(report_, report_.ReportText(true), parent, false,
                     report_.GetBool("SendInBackgr"));
  }
  bool Save(HWND parent) override { return SaveReportToFile(report_, parent, false); }
  void WatchForThaw(HWND) override {}
  bool RunShowAssistant() override {
    return RunReportAssistant(report_, report_.ShowAssistant(), nullptr) !=
           AssistantOutcome::NoAssistant;
  }

 private:
  struct Callback {
    ChangeCallback fn;
    void* context;
  };

  bool Due(std::string_view setting) const {
    return CheckAutoRule(report_.GetInt(setting), CurrentHistory(), UtcSeconds());
  }

  static void Changed(bool, const std::string&, ExceptionReport&, void* self) {
    auto* box = static_cast<BoxReport*>(self);
    std::vector<Callback> calls;
    {
      std::lock_guard lock(box->lock_);
      calls = box->callbacks_;
    }
    for (const Callback& c : calls) c.fn(c.context);
  }

  ExceptionReport& report_;
  std::mutex lock_;
  std::vector<Callback> callbacks_;
  bool listening_ = false;
};

class BoxPresenter final : public ReportPresenter {
 public:
  void Present(ExceptionReport& report) override {
    BoxReport box(report);
    PresentException(box, report.ShowSetting());
  }
  AssistantOutcome RunAssistant(ExceptionReport& report, const std::string& name,
                                HWND parent) override {
    return RunReportAssistant(report, name, parent);
  }
  Ref<INVBitmap> CaptureScreen(bool appOnly) override { return crash::CaptureScreen(appOnly); }
  Ref<IProgressAlert> CreateProgressWindow(const std::string& title, HMODULE pictureModule,
                                           const std::string& pictureName) override {
    return crash::CreateProgressWindow(title, pictureModule, pictureName);
  }
  bool PutOnClipboard(const std::string& text) override { return PutTextOnClipboard(text); }
  void PrepareThread() noexcept override { PrepareExceptionBoxThread(); }
};

constinit BoxPresenter presenter;

}  // namespace

ReportPresenter& WindowsPresenter() { return presenter; }

}  // namespace corvan::crash
