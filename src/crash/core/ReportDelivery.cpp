#include "crash/core/ReportDelivery.h"

#include "crash/analysis/SystemHelpers.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/ReporterFolder.h"
#include "crash/core/SaveReport.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

class ExceptionDelivery final : public DeliveryReport {
 public:
  explicit ExceptionDelivery(ExceptionReport& report) : report_(&report) {}

  ReporterSettings& Settings() override { return *report_; }
  std::string BugReportFile() override { return BugReportFileName(*report_); }
  bool SavedToFile() override { return report_->SavedToFile(); }
  bool SaveInto(const std::string& path) override { return SaveReportInto(*report_, path); }
  void MarkSent() override { report_->SetSent(true); }
  std::string TempFolder() override {
    const std::string folder = PreparedReporterTempFolder();
    return folder.empty() ? ExeFolder() : folder;
  }
  std::string ExeFolder() override { return FolderPart(ModulePath(nullptr)); }

 private:
  Ref<ExceptionReport> report_;
};

}  // namespace

SendResult SendReport(ExceptionReport& report, const std::string& text, HWND parent, bool hidden,
                      bool background, HANDLE* threadSlot) {
  Ref<ExceptionDelivery> delivery = MakeRef<ExceptionDelivery>(report);
  Ref<INVBitmap> screenshot = report.SendScreenshot() ? report.Screenshot() : nullptr;
  return DeliverBugReport(text, std::move(screenshot), parent, hidden, background, *delivery, false,
                          threadSlot);
}

}  // namespace corvan::crash
