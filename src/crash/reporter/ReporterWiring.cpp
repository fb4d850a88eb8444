// Hands the pipeline the reporter's windows and its delivery. Linked as an
// object into every program that carries the reporter, and registered as
// early as the reporter starts, so that the first exception has them.
#include "crash/core/ReportFrontEnd.h"
#include "crash/reporter/ReportDelivery.h"
#include "crash/reporter/ReportPresentation.h"

namespace corvan::crash {
namespace {

struct FrontEndRegistration {
  FrontEndRegistration() {
    RegisterReportPresenter(&WindowsPresenter());
    RegisterReportDeliverer(&MailDeliverer());
  }
  ~FrontEndRegistration() {
    RegisterReportDeliverer(nullptr);
    RegisterReportPresenter(nullptr);
  }
};

__attribute__((init_priority(101))) FrontEndRegistration registration;

}  // namespace
}  // namespace corvan::crash
