#pragma once
// The details view under the exception box: a tab control with a tab per
// part of the report, and as its content either an owner-drawn report
// list (columns, alignment, row colours, bold group titles) or a read-only
// edit for text that is not tabular. It follows the report while the
// report is still assembled: each change rebuilds the tab list and, when
// its text changed, the shown tab.
#include <windows.h>

#include <commctrl.h>

#include <string>

#include "crash/ui/DetailsView.h"
#include "crash/ui/ExceptionBoxLayout.h"
#include "crash/ui/ExceptionBoxReport.h"
#include "common/WinHandles.h"

namespace corvan::crash {

// Asks a running development environment to show one call-stack line.
void RequestIdeJump(const std::string& callStackLine);

class DetailsViewWindow {
 public:
  // The tab control is created at r in parent; fonts are not owned.
  DetailsViewWindow(HWND parent, const BoxRect& r, HFONT dialogFont, HFONT fixedFont,
                    ExceptionBoxReport& report);
  ~DetailsViewWindow();
  DetailsViewWindow(const DetailsViewWindow&) = delete;
  DetailsViewWindow& operator=(const DetailsViewWindow&) = delete;

  void UpdateTabs();
  // Rebuilds the content when the selected tab or its text changed.
  void ShowCurrentTab(bool shuttingDown);
  // The box closes: the content goes.
  void Drop() { ShowCurrentTab(true); }
  void Grow(int dx, int dy);
  bool OwnsMessage(const MSG& msg) const;

  HWND Tabs() const { return tabs_; }
  HWND Content() const { return content_; }
  const DetailsContent& Shown() const { return shown_; }

 private:
  static LRESULT CALLBACK TabProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
  LRESULT HandleTab(UINT message, WPARAM wParam, LPARAM lParam);
  void DrawRow(const DRAWITEMSTRUCT& item);
  void CreateList();
  void DestroyContent();
  RECT ContentRect() const;

  HWND parent_;
  HFONT dialogFont_, fixedFont_;
  ExceptionBoxReport& report_;
  HWND tabs_ = nullptr;
  HWND content_ = nullptr;
  WNDPROC previousProc_ = nullptr;
  HIMAGELIST images_ = nullptr;
  DetailsContent shown_;
  int shownTab_ = -1;
  std::string shownText_;
  bool highColour_ = true;
};

}  // namespace corvan::crash
