// The exception box in this process over a report of the test's own: the
// details view read back through its tab control and list view, the
// clipboard, the report-changed message, handled actions, the close
// request from outside, and the printed page laid out on a device context.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <map>
#include <string>
#include <vector>

#include "crash/core/ReportText.h"
#include "crash/ui/PrintReport.h"
#include "common/WinTestSupport.h"
#include "crash/ui/zelExceptBox.h"

namespace corvan::crash {
namespace {

using test::PumpUntil;
using test::WindowText;

class TestReport final : public ExceptionBoxReport {
 public:
  TestReport() {
    bools_ = {{"SendBtnVis", true},    {"ShowBtnVis", true},      {"ContinueBtnVis", true},
              {"RestartBtnVis", true}, {"CloseBtnVis", true},     {"SaveBtnVis", false},
              {"PrintBtnVis", false},  {"AutoShowBugRep", false}, {"UglyBtns", false},
              {"AutoContinue", false}};
    ints_ = {{"FocusedBtn", 0}, {"AutoDelay", 60}};
    strs_ = {{"TitleBar", "Test"},
             {"ExceptMsg", "An error occurred: %exceptMsg%"},
             {"SendBtnTxt", "send bug report"},
             {"ShowBtnTxt", "show bug report"},
             {"ContinueBtnTxt", "continue application"},
             {"RestartBtnTxt", "restart application"},
             {"CloseBtnTxt", "close application"},
             {"OkBtnTxt", "&OK"},
             {"DetailsBtnTxt", "&Details"}};
    header = {{"date/time", "2026-12-09, 12:00:00, 0ms"}, {"executable", "test.exe"}};
    CpuRegisters r;
    r.eax = 0x12ff40;
    sections = {{"main thread ($24)", "00401a2b +1b demo.exe Unit1   42 +3 TForm1.Button1Click"},
                {"modules", ">> will be calculated soon"},
                {"cpu registers", CpuRegistersText(r)}};
  }
  bool GetBool(std::string_view n) const override { return Find(bools_, n, false); }
  std::int32_t GetInt(std::string_view n) const override { return Find(ints_, n, 0); }
  std::string GetStr(std::string_view n) const override { return Find(strs_, n, std::string()); }
  void SetBool(std::string_view n, bool v) override { bools_[std::string(n)] = v; }
  void SetInt(std::string_view n, std::int32_t v) override { ints_[std::string(n)] = v; }
  std::string ExpandWithMessage(std::string_view text, const std::string& message) const override {
    std::string out(text);
    const std::size_t at = out.find("%exceptMsg%");
    if (at != std::string::npos) out.replace(at, 11, message);
    return out;
  }
  HMODULE PictureModule() const override { return GetModuleHandleA(nullptr); }
  std::string ExceptionMessage() const override { return "Division by zero."; }
  bool IsFreeze() const override { return false; }
  bool CanContinue() const override { return true; }
  bool IsConsoleProgram() const override { return false; }
  bool AutoCloseDue() const override { return false; }
  bool AutoRestartDue() const override { return false; }
  NamedTexts HeaderFields() override { return header; }
  NamedTexts Sections() override { return sections; }
  std::string ReportText(bool) override { return "the whole report"; }
  void AddChangeListener(ChangeCallback c, void* context) override {
    callback = c;
    callbackContext = context;
  }
  void RemoveChangeListener(ChangeCallback, void*) override { callback = nullptr; }
  bool FireAction(int action, HWND) override {
    actions.push_back(action);
    return handled;
  }
  void FinishAutomaticActions() override {}
  [[noreturn]] void RestartProgram() override { ExitProcess(92); }
  [[noreturn]] void TerminateProgram() override { ExitProcess(91); }
  void Send(HWND) override {}
  bool Save(HWND) override { return false; }
  void WatchForThaw(HWND) override {}
  bool RunShowAssistant() override { return false; }

  NamedTexts header, sections;
  ChangeCallback callback = nullptr;
  void* callbackContext = nullptr;
  std::vector<int> actions;
  bool handled = false;

 private:
  template <class M, class V>
  static V Find(const M& map, std::string_view name, V fallback) {
    const auto it = map.find(std::string(name));
    return it == map.end() ? fallback : it->second;
  }
  std::map<std::string, bool> bools_;
  std::map<std::string, std::int32_t> ints_;
  std::map<std::string, std::string> strs_;
};

HWND Child(HWND parent, const char* cls) { return FindWindowExA(parent, nullptr, cls, nullptr); }

void SelectTab(HWND box, HWND tabs, int index) {
  SendMessageA(tabs, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  NMHDR notify{tabs, static_cast<UINT_PTR>(GetDlgCtrlID(tabs)), static_cast<UINT>(TCN_SELCHANGE)};
  SendMessageA(box, WM_NOTIFY, notify.idFrom, reinterpret_cast<LPARAM>(&notify));
}

std::string CellText(HWND list, int row, int column) {
  char buffer[300] = {};
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = sizeof buffer;
  SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

std::vector<std::string> ColumnCaptions(HWND list) {
  std::vector<std::string> out;
  for (int c = 0;; ++c) {
    char buffer[100] = {};
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT;
    column.pszText = buffer;
    column.cchTextMax = sizeof buffer;
    if (!SendMessageA(list, LVM_GETCOLUMNA, static_cast<WPARAM>(c),
                      reinterpret_cast<LPARAM>(&column)))
      break;
    out.push_back(buffer);
  }
  return out;
}

std::string ClipboardText() {
  std::string text;
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const char* p = static_cast<const char*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

void PressControlC(HWND target) {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  PostMessageA(target, WM_KEYDOWN, 'C', 0);
}

void ReleaseControl() {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
}

TEST(ExceptionBox, DetailsViewShowsEachSectionThroughItsFormatter) {
  TestReport report;
  report.SetBool("AutoShowBugRep", true);
  TExceptionBox box(report, BoxMode::Full, false);
  ASSERT_NE(box.Window(), nullptr);
  HWND tabs = Child(box.Window(), WC_TABCONTROLA);
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0),
            4);  // general, call stack, modules, cpu regs

  HWND list = Child(tabs, WC_LISTVIEWA);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(ColumnCaptions(list), (std::vector<std::string>{"description", "value"}));
  EXPECT_EQ(CellText(list, 1, 1), "test.exe");

  SelectTab(box.Window(), tabs, 1);
  list = Child(tabs, WC_LISTVIEWA);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(ColumnCaptions(list), (std::vector<std::string>{"address", "rel.", "module", "unit",
                                                            "line", "rel.", "function"}));
  EXPECT_EQ(CellText(list, 0, 0), ">>");
  EXPECT_EQ(CellText(list, 1, 0), "00401A2B");
  EXPECT_EQ(CellText(list, 1, 6), "TForm1.Button1Click");
  LVCOLUMNA format{};
  format.mask = LVCF_FMT;
  SendMessageA(list, LVM_GETCOLUMNA, 4, reinterpret_cast<LPARAM>(&format));
  EXPECT_EQ(format.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_RIGHT);

  // A section still being assembled is plain text in a read-only edit ...
  SelectTab(box.Window(), tabs, 2);
  EXPECT_EQ(Child(tabs, WC_LISTVIEWA), nullptr);
  HWND edit = Child(tabs, "Edit");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(WindowText(edit), ">> will be calculated soon");
  EXPECT_TRUE(GetWindowLongA(edit, GWL_STYLE) & ES_READONLY);
  // ... and the list once the report changes.
  report.sections[1].second =
      "00400000 test.exe  1.0 C:\\t\r\n7b600000 k32.dll   6.1 C:\\w\r\n7bc00000 nt.dll    6.1 "
      "C:\\w";
  ASSERT_NE(report.callback, nullptr);
  report.callback(report.callbackContext);
  ASSERT_TRUE(PumpUntil([&] { return Child(tabs, WC_LISTVIEWA) != nullptr; }));
  list = Child(tabs, WC_LISTVIEWA);
  EXPECT_EQ(ColumnCaptions(list),
            (std::vector<std::string>{"handle", "file name", "version", "path"}));
  EXPECT_EQ(CellText(list, 1, 0), "7B600000");
  EXPECT_EQ(CellText(list, 1, 1), "k32.dll");

  // A new section at the end gets its tab.
  report.sections.push_back({"hardware", "+ Disk drives\r\n  - Disk"});
  report.callback(report.callbackContext);
  ASSERT_TRUE(PumpUntil([&] { return SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0) == 5; }));

  SelectTab(box.Window(), tabs, 3);
  list = Child(tabs, WC_LISTVIEWA);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(CellText(list, 0, 0), "eax");
  EXPECT_EQ(CellText(list, 0, 1), "0012ff40");

  PostMessageA(box.Window(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(box.Run());
  EXPECT_EQ(report.actions, (std::vector<int>{8}));
}

TEST(ExceptionBox, ControlCCopiesTheMessageOrTheShownReport) {
  TestReport report;
  {
    TExceptionBox box(report, BoxMode::Full, false);
    ASSERT_NE(box.Window(), nullptr);
    PressControlC(GetFocus() ? GetFocus() : box.Window());
    PostMessageA(box.Window(), WM_CLOSE, 0, 0);
    box.Run();
    ReleaseControl();
  }
  EXPECT_EQ(ClipboardText(), "Division by zero.");
  report.SetBool("AutoShowBugRep", true);
  {
    TExceptionBox box(report, BoxMode::Full, false);
    PressControlC(box.Window());
    PostMessageA(box.Window(), WM_CLOSE, 0, 0);
    box.Run();
    ReleaseControl();
  }
  EXPECT_EQ(ClipboardText(), "the whole report");
}

TEST(ExceptionBox, HandledCloseKeepsTheBoxOpenAndAnOutsideRequestClosesIt) {
  TestReport report;
  report.handled = true;
  TExceptionBox box(report, BoxMode::Full, false);
  ASSERT_NE(box.Window(), nullptr);
  HWND close = FindWindowExA(box.Window(), nullptr, "Button", "close application");
  ASSERT_NE(close, nullptr);
  PostMessageA(box.Window(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(close), BN_CLICKED),
               reinterpret_cast<LPARAM>(close));
  test::PumpFor(300);
  EXPECT_TRUE(IsWindow(box.Window()));
  EXPECT_EQ(report.actions, (std::vector<int>{10}));
  // The watchdog's "answers again": closes like continue, without handlers.
  PostMessageA(box.Window(), WM_NULL, 777, 777);
  EXPECT_FALSE(box.Run());
  EXPECT_EQ(report.actions, (std::vector<int>{10}));
}

TEST(ExceptionBox, ShowAsksForTheDetailsBox) {
  TestReport report;
  TExceptionBox box(report, BoxMode::Full, false);
  HWND show = FindWindowExA(box.Window(), nullptr, "Button", "show bug report");
  ASSERT_NE(show, nullptr);
  PostMessageA(box.Window(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(show), BN_CLICKED),
               reinterpret_cast<LPARAM>(show));
  EXPECT_TRUE(box.Run());
  EXPECT_EQ(report.actions, (std::vector<int>{6}));
}

TEST(PrintedPage, LinesWrapAndBreakIntoPages) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  ASSERT_NE(dc, nullptr);
  TEXTMETRICA metrics;
  GetTextMetricsA(dc, &metrics);
  const int lineHeight = metrics.tmHeight + metrics.tmExternalLeading;
  PageLayout page;
  page.top = 10;
  page.left = 20;
  page.textWidth = 200;
  page.bottom = 10 + 3 * lineHeight;
  std::string longLine;  // far wider than 200 pixels: several lines
  for (int i = 0; i < 40; ++i) longLine += "word ";
  const std::vector<PrintedLine> lines =
      LayOutLines(dc, "first\r\n\r\nthird\r\nfourth\r\n" + longLine, page);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].top, 10);
  EXPECT_EQ(lines[0].page, 0);
  EXPECT_EQ(lines[1].text, " ");  // an empty line prints as one blank
  EXPECT_EQ(lines[1].height, lineHeight);
  EXPECT_EQ(lines[2].page, 0);
  EXPECT_EQ(lines[3].page, 1);  // would pass the bottom margin
  EXPECT_EQ(lines[3].top, 10);
  EXPECT_GT(lines[4].height, lineHeight);
  EXPECT_EQ(lines[4].page, 2);
  // A memory context is no printer: nothing is printed, nothing breaks.
  EXPECT_EQ(PrintReportOnDc(dc, "x", "print bug report"), 0);
  const PageMetrics m = PageMetricsOf(screen);
  EXPECT_GT(m.horzRes, 0);
  EXPECT_GT(LayoutPage(m).textWidth, 0);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
}

}  // namespace
}  // namespace corvan::crash
