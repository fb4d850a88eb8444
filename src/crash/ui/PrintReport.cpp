#include "crash/ui/PrintReport.h"

#include <commdlg.h>

#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/SystemHelpers.h"
#include "common/WinHandles.h"

namespace corvan::crash {

PageMetrics PageMetricsOf(HDC dc) {
  PageMetrics m;
  m.horzRes = GetDeviceCaps(dc, HORZRES);
  m.vertRes = GetDeviceCaps(dc, VERTRES);
  m.horzSize = GetDeviceCaps(dc, HORZSIZE);
  m.vertSize = GetDeviceCaps(dc, VERTSIZE);
  m.offsetX = GetDeviceCaps(dc, PHYSICALOFFSETX);
  m.offsetY = GetDeviceCaps(dc, PHYSICALOFFSETY);
  m.logPixelsX = GetDeviceCaps(dc, LOGPIXELSX);
  m.logPixelsY = GetDeviceCaps(dc, LOGPIXELSY);
  return m;
}

std::vector<PrintedLine> LayOutLines(HDC dc, const std::string& text, const PageLayout& page) {
  std::vector<PrintedLine> lines;
  int y = page.top, number = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    const std::size_t stop = end == std::string::npos ? text.size() : end;
    PrintedLine line;
    line.text = stop > start ? text.substr(start, stop - start) : std::string(" ");
    RECT r = {page.left, 0, page.left + page.textWidth, 0};
    DrawTextA(dc, line.text.c_str(), static_cast<int>(line.text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_EXTERNALLEADING);
    line.height = r.bottom - r.top;
    if (y + line.height > page.bottom && y > page.top) {
      ++number;
      y = page.top;
    }
    line.page = number;
    line.top = y;
    y += line.height;
    lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return lines;
}

int PrintReportOnDc(HDC dc, const std::string& text, const std::string& documentName) {
  SetMapMode(dc, MM_TEXT);
  const PageLayout page = LayoutPage(PageMetricsOf(dc));
  ScopedFont font(CreateFontA(page.fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                              DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                              DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New"));
  ScopedSelection select(dc, font.get());
  const std::vector<PrintedLine> lines = LayOutLines(dc, text, page);
  DOCINFOA doc{};
  doc.cbSize = sizeof doc;
  doc.lpszDocName = documentName.c_str();
  if (StartDocA(dc, &doc) <= 0) return 0;
  int current = 0;
  StartPage(dc);
  for (const PrintedLine& line : lines) {
    if (line.page != current) {
      EndPage(dc);
      StartPage(dc);
      current = line.page;
    }
    RECT r = {page.left, line.top, page.left + page.textWidth, line.top + line.height};
    DrawTextA(dc, line.text.c_str(), static_cast<int>(line.text.size()), &r,
              DT_WORDBREAK | DT_EXTERNALLEADING);
  }
  EndPage(dc);
  EndDoc(dc);
  return current + 1;
}

void PrintBugReport(const std::string& text, HWND parent, const std::string& documentName) {
  if (IsLoaderLockHeld(250)) {
    MessageBeep(0);
    return;
  }
  PRINTDLGA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = parent;
  dialog.Flags = PD_RETURNDC | PD_NOSELECTION | PD_NOPAGENUMS | PD_NOWARNING |
                 PD_USEDEVMODECOPIESANDCOLLATE | PD_HIDEPRINTTOFILE | PD_NONETWORKBUTTON;
  // comdlg32 (and the printer spooler it brings) is loaded only to print.
  const auto printDialog = SystemFunction<decltype(&PrintDlgA)>("comdlg32.dll", "PrintDlgA");
  if (!printDialog || !printDialog(&dialog)) return;
  if (dialog.hDevMode) GlobalFree(dialog.hDevMode);
  if (dialog.hDevNames) GlobalFree(dialog.hDevNames);
  ScopedDc printer(dialog.hDC);
  if (printer) PrintReportOnDc(printer.get(), text, documentName);
}

}  // namespace corvan::crash
