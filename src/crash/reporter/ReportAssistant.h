#pragma once
// Runs the assistant a report's action names (SendAssis, SaveAssis,
// PrintAssis, or the filter's show assistant) and carries its values into
// the report and the settings' form cache.
#include <windows.h>

#include <string>

#include "crash/core/ReportFrontEnd.h"

namespace corvan::crash {

class ExceptionReport;

// Shows the named assistant over parent (a topmost parent is made
// non-topmost meanwhile). Completed: the values of the continued forms are
// in the report. In both real outcomes they are in the form cache.
AssistantOutcome RunReportAssistant(ExceptionReport& report, const std::string& name, HWND parent);

// The reporter's built-in form handlers; installed at start-up.
void InstallBuiltInFormHandlers();

}  // namespace corvan::crash
