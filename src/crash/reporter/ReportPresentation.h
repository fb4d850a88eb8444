#pragma once
// Showing a report to the user: the exception box (or the console form)
// over an exception report, and what its buttons hand back to the
// pipeline, the bug report file and the end of the program.
namespace corvan::crash {

class ExceptionReport;

// Returns when the user is done; restart and close do not return.
void PresentReport(ExceptionReport& report);

// The executable is of the console subsystem.
bool IsConsoleProgram();

}  // namespace corvan::crash
