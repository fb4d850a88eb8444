// The offer box as a dialog built in memory: the buttons carry the
// program's own Dutch texts, and Escape or the close box mean "Later".
#include <windows.h>

#include <vector>

#include "app/UnsentOffer.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/reporter/ReportDelivery.h"

namespace corvan::app {
namespace {

constexpr WORD kNever = 3;
constexpr WORD kView = 4;
constexpr WORD kQuestion = 100;
constexpr WORD kReportText = 101;
constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;

// A DLGTEMPLATE with its items, laid out as the API wants them: words,
// wide strings, items DWORD-aligned.
class DialogTemplate {
 public:
  DialogTemplate(const std::string& title, short cx, short cy, int items) {
    DLGTEMPLATE head{};
    head.style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    head.cdit = static_cast<WORD>(items);
    head.cx = cx;
    head.cy = cy;
    Append(&head, sizeof head);
    Word(0);  // no menu
    Word(0);  // standard class
    Text(title);
    Word(8);
    Text("MS Shell Dlg");
  }

  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
            const std::string& text) {
    Align();
    DLGITEMTEMPLATE item{};
    item.style = style | WS_CHILD | WS_VISIBLE;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    item.id = id;
    Append(&item, sizeof item);
    Word(0xFFFF);
    Word(atom);
    Text(text);
    Word(0);  // no creation data
  }

  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Append(const void* data, std::size_t bytes) {
    const auto* w = static_cast<const WORD*>(data);
    words_.insert(words_.end(), w, w + bytes / sizeof(WORD));
  }
  void Word(WORD w) { words_.push_back(w); }
  void Text(const std::string& text) {
    for (const wchar_t c : crash::WideFromAnsi(text)) words_.push_back(static_cast<WORD>(c));
    words_.push_back(0);
  }
  void Align() {
    if (words_.size() % 2) words_.push_back(0);
  }

  std::vector<WORD> words_;
};

// The kept reports' text, read-only; lParam is the text.
INT_PTR CALLBACK ViewerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextA(dialog, kReportText, reinterpret_cast<const char*>(lParam));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void ShowReports(HWND owner, const std::string& text) {
  DialogTemplate box("Foutrapporten", 400, 250, 2);
  box.Item(ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_HSCROLL | WS_BORDER |
               WS_TABSTOP,
           6, 6, 388, 216, kReportText, kEdit, "");
  box.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 340, 228, 54, 14, IDOK, kButton, "Sluiten");
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), box.Get(), owner, ViewerProc,
                          reinterpret_cast<LPARAM>(text.c_str()));
}

// lParam: the kept reports' text for "Bekijken".
INT_PTR CALLBACK OfferProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      SetForegroundWindow(dialog);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == kView) {
        try {
          ShowReports(dialog,
                      *reinterpret_cast<const std::string*>(GetWindowLongPtrA(dialog, DWLP_USER)));
        } catch (...) {
          // The offer stays whatever the viewer could not show.
        }
        return TRUE;
      }
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == kNever) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR AskUser(HWND owner, const std::string& title, const crash::KeptReports& kept) {
  std::string text;
  for (const crash::KeptReport& report : kept.reports) {
    if (!text.empty()) text += "\r\n\r\n";
    text += report.text;
  }
  DialogTemplate box(title, 250, 96, 5);
  box.Item(SS_LEFT, 10, 10, 230, 58, kQuestion, kStatic,
           UnsentOfferQuestion(static_cast<int>(kept.reports.size())));
  box.Item(BS_PUSHBUTTON | WS_TABSTOP, 10, 74, 50, 14, kView, kButton, kViewText);
  box.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 70, 74, 60, 14, IDOK, kButton, kSendNowText);
  box.Item(BS_PUSHBUTTON | WS_TABSTOP, 134, 74, 50, 14, IDCANCEL, kButton, kLaterText);
  box.Item(BS_PUSHBUTTON | WS_TABSTOP, 188, 74, 50, 14, kNever, kButton, kNeverText);
  return DialogBoxIndirectParamA(GetModuleHandleA(nullptr), box.Get(), owner, OfferProc,
                                 reinterpret_cast<LPARAM>(&text));
}

}  // namespace

void OfferUnsentReports(HWND owner, const std::string& title) {
  try {
    const crash::KeptReports kept = crash::UnsentReportsToOffer();
    if (kept.reports.empty()) return;
    switch (AskUser(owner, title, kept)) {
      case IDOK:
        crash::SendUnsentReports(kept, owner);
        break;
      case kNever:
        crash::DropUnsentReports();
        break;
      default:  // later
        break;
    }
  } catch (...) {
    // The program starts whatever the kept reports hold.
  }
}

}  // namespace corvan::app
