#pragma once
// Printing a bug report: Courier New at 8 point, margins of 1 cm (2 cm on
// the left) from the paper's edge, each line word-wrapped to the text
// width, a new page whenever the next line would pass the bottom margin.
#include <windows.h>

#include <string>
#include <vector>

#include "crash/ui/ExceptionBoxLayout.h"

namespace corvan::crash {

// The page metrics of a device context.
PageMetrics PageMetricsOf(HDC dc);

// Where each line of text goes: its page (from 0), its top and height in
// device pixels. Lines are split at CR LF, measured word-wrapped to the
// text width in the font selected into dc; an empty line is one blank.
struct PrintedLine {
  int page = 0, top = 0, height = 0;
  std::string text;
};
std::vector<PrintedLine> LayOutLines(HDC dc, const std::string& text, const PageLayout& page);

// Prints text as a document of its own on dc; returns the pages printed
// (0 when the document could not be started).
int PrintReportOnDc(HDC dc, const std::string& text, const std::string& documentName);

// Asks the user for a printer and prints. Beeps instead while the process
// is blocked; a cancelled dialog prints nothing.
void PrintBugReport(const std::string& text, HWND parent, const std::string& documentName);

}  // namespace corvan::crash
