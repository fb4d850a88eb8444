#pragma once
// Sending an exception report: the send button and the automatic send hand
// the report to delivery with its bug report file and folders.
#include <windows.h>

#include <string>

#include "crash/ui/BugReportDelivery.h"

namespace corvan::crash {

class ExceptionReport;

// The report's text (complete) with its screenshot, if any.
SendResult SendReport(ExceptionReport& report, const std::string& text, HWND parent, bool hidden,
                      bool background, HANDLE* threadSlot);

}  // namespace corvan::crash
