#pragma once
// Saving an exception report into the bug report file its settings name,
// or into a file the user chooses.
#include <windows.h>

#include <string>

namespace corvan::crash {

class ExceptionReport;

// The configured file (BugRepFile), absolute.
std::string BugReportFileName(const ExceptionReport& report);

// The automatic save: the complete report into the configured file without
// asking. Marks the report as saved.
bool SaveReportToFile(ExceptionReport& report);
// On the user's request: with noDialog into the configured file, else into
// a file the user chooses (a blocked process only beeps).
bool SaveReportToFile(ExceptionReport& report, HWND parent, bool noDialog);

}  // namespace corvan::crash
