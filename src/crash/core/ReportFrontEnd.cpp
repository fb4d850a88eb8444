#include "crash/core/ReportFrontEnd.h"

#include <atomic>

namespace corvan::crash {
namespace {

class NoPresenter final : public ReportPresenter {
 public:
  void Present(ExceptionReport&) override {}
  AssistantOutcome RunAssistant(ExceptionReport&, const std::string&, HWND) override {
    return AssistantOutcome::NoAssistant;
  }
  Ref<INVBitmap> CaptureScreen(bool) override { return {}; }
  Ref<IProgressAlert> CreateProgressWindow(const std::string&, HMODULE,
                                           const std::string&) override {
    return {};
  }
  bool PutOnClipboard(const std::string&) override { return false; }
  void PrepareThread() noexcept override {}
};

class NoDeliverer final : public ReportDeliverer {
 public:
  void Send(ExceptionReport&, const std::string&, HWND, bool, bool) override {}
  void KeepUnsent(ExceptionReport&) override {}
};

// Constant-initialised, so that they answer before any static initialiser
// has run and after every static destructor.
constinit NoPresenter noPresenter;
constinit NoDeliverer noDeliverer;
constinit std::atomic<ReportPresenter*> presenter{&noPresenter};
constinit std::atomic<ReportDeliverer*> deliverer{&noDeliverer};

}  // namespace

void RegisterReportPresenter(ReportPresenter* p) { presenter = p ? p : &noPresenter; }
void RegisterReportDeliverer(ReportDeliverer* d) { deliverer = d ? d : &noDeliverer; }
ReportPresenter& Presenter() { return *presenter; }
ReportDeliverer& Deliverer() { return *deliverer; }

}  // namespace corvan::crash
