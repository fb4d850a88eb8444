#pragma once
// Saving a report into the bug report file its settings name.
#include <string>

namespace corvan::crash {

class ExceptionReport;

// The configured file (BugRepFile), absolute.
std::string BugReportFileName(const ExceptionReport& report);
// Appends the complete report without asking; false when the file could
// not be opened or written. Marks the report as saved.
bool SaveReportToFile(ExceptionReport& report);

}  // namespace corvan::crash
