#include "ui/Form.h"

#include <vector>

#include "ui/Application.h"
#include "ui/Control.h"

namespace corvan::ui {
namespace {

// Tahoma with a character height of 11 pixels (8 pt at 96 dpi).
HFONT CreateFormFont(int weight) {
  return CreateFontA(-11, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
}

constexpr DWORD kFormStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPSIBLINGS;
constexpr DWORD kFormExStyle = WS_EX_TOOLWINDOW | WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

// Other enabled top-level windows of this thread, disabled while a form is
// shown modally.
BOOL CALLBACK CollectThreadWindow(HWND hwnd, LPARAM lParam) noexcept {
  auto* list = reinterpret_cast<std::pair<HWND, std::vector<HWND>*>*>(lParam);
  if (hwnd != list->first && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
    try {
      list->second->push_back(hwnd);
    } catch (...) {
      return FALSE;
    }
  }
  return TRUE;
}

}  // namespace

TForm* TForm::FromHandle(HWND hwnd) { return dynamic_cast<TForm*>(FromHandleBase(hwnd)); }

void TForm::CreateForm(const char* className, const std::string& caption, int clientWidth,
                       int clientHeight) {
  font_.reset(CreateFormFont(FW_NORMAL));
  boldFont_.reset(CreateFormFont(FW_BOLD));
  RECT bounds{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&bounds, kFormStyle, FALSE, kFormExStyle);
  const int width = bounds.right - bounds.left;
  const int height = bounds.bottom - bounds.top;
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + (work.right - work.left - width) / 2;
  const int y = work.top + (work.bottom - work.top - height) / 2;
  Application().RegisterForm(*this);
  CreateHandle(className, CS_DBLCLKS, GetSysColorBrush(COLOR_BTNFACE), kFormExStyle,
               caption.c_str(), kFormStyle, x, y, width, height, Application().Handle());
  SendMessageA(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  CreateControls();
  try {
    FormCreate();
  } catch (...) {
    Application().HandleException(std::current_exception());
  }
}

void TForm::RegisterControl(TControl& control) { controls_[control.Id()] = &control; }

TControl* TForm::ControlById(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void TForm::Show() {
  ShowWindow(Handle(), SW_SHOWNORMAL);
  SetForegroundWindow(Handle());
}

void TForm::Hide() { ShowWindow(Handle(), SW_HIDE); }

bool TForm::Visible() const { return IsWindowVisible(Handle()) != FALSE; }

void TForm::Close() {
  if (modal_) {
    modalResult_ = ModalResult::Cancel;
  } else if (Application().MainForm() == this) {
    Hide();
    Application().Terminate();
  } else {
    Hide();
  }
}

ModalResult TForm::ShowModal() {
  std::vector<HWND> disabled;
  std::pair<HWND, std::vector<HWND>*> collect{Handle(), &disabled};
  EnumThreadWindows(GetCurrentThreadId(), CollectThreadWindow, reinterpret_cast<LPARAM>(&collect));
  for (HWND hwnd : disabled) EnableWindow(hwnd, FALSE);
  HWND previous = GetActiveWindow();

  modal_ = true;
  modalResult_ = ModalResult::None;
  Show();
  while (modalResult_ == ModalResult::None && !Application().Terminated()) {
    Application().HandleMessage();
  }
  modal_ = false;

  // Re-enable the others before hiding, so that activation returns to them.
  for (HWND hwnd : disabled) EnableWindow(hwnd, TRUE);
  Hide();
  if (previous && IsWindow(previous)) SetActiveWindow(previous);
  if (Application().Terminated()) {
    PostQuitMessage(0);  // the outer loop must see the quit request too
    return ModalResult::Cancel;
  }
  return modalResult_;
}

LRESULT TForm::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      if (lParam != 0) {
        if (TControl* control = ControlById(LOWORD(wParam))) {
          control->HandleCommand(HIWORD(wParam));
          return 0;
        }
      } else if (LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == 0) {
        Close();  // Escape, as in a dialog box
        return 0;
      }
      break;
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
      if (TControl* control = ControlById(static_cast<int>(item->CtlID))) {
        control->DrawItem(*item);
        return TRUE;
      }
      break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CLOSE:
      Close();
      return 0;
  }
  return TWindow::WndProc(msg, wParam, lParam);
}

}  // namespace corvan::ui
