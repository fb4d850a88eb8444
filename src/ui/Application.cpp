#include "ui/Application.h"

#include "common/GuardedFrame.h"
#include "ui/Form.h"
#include "ui/MessageDialogs.h"
#include "ui/Thread.h"

namespace corvan::ui {
namespace {

constexpr char kAppWindowClass[] = "TApplication";

// The application window is never seen: it exists for the task-bar button
// and as owner of the forms, so it may be as small as nothing.
LRESULT CALLBACK AppWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
  GuardedFrame guard;
  try {
    if (msg == SynchronizeMessage()) {
      Application().CheckSynchronize();
      return 0;
    }
    switch (msg) {
      case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = {0, 0};
        return 0;
      }
      case WM_CLOSE:
        if (TForm* main = Application().MainForm())
          main->Close();
        else
          Application().Terminate();
        return 0;
      case WM_ACTIVATE:
      case WM_SETFOCUS:
        // Activation of the task-bar button goes to the main form.
        if (TForm* main = Application().MainForm(); main && main->Handle() && msg == WM_SETFOCUS) {
          if (IsWindowEnabled(main->Handle())) SetFocus(main->Handle());
          return 0;
        }
        break;
    }
  } catch (...) {
    Application().HandleException(std::current_exception());
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

TApplication& Application() {
  static TApplication application;
  return application;
}

std::string ExceptionMessage(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "Unknown exception";
}

void TApplication::Initialize(HINSTANCE instance) {
  instance_ = instance;
  mainThreadId_ = GetCurrentThreadId();
  WNDCLASSA wc{};
  wc.lpfnWndProc = AppWindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, "MAINICON");
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.lpszClassName = kAppWindowClass;
  RegisterClassA(&wc);
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2;
  handle_ = CreateWindowExA(0, kAppWindowClass, title_.c_str(),
                            WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
                            x, y, 0, 0, nullptr, nullptr, instance, nullptr);
}

void TApplication::SetTitle(const std::string& title) {
  title_ = title;
  if (handle_) SetWindowTextA(handle_, title_.c_str());
}

void TApplication::RegisterForm(TForm& form) {
  if (!mainForm_) mainForm_ = &form;
}

void TApplication::Run() {
  if (mainForm_) {
    if (handle_) ShowWindow(handle_, SW_SHOWNOACTIVATE);
    mainForm_->Show();
  }
  while (!terminated_) ProcessOneMessage(true);
}

void TApplication::ProcessMessages() {
  while (ProcessOneMessage(false)) {
  }
}

void TApplication::HandleMessage() { ProcessOneMessage(true); }

void TApplication::Terminate() { PostQuitMessage(0); }

bool TApplication::ProcessOneMessage(bool wait) {
  MSG msg;
  if (wait) {
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0) {
      terminated_ = true;
      return false;
    }
  } else {
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      return false;
    }
  }
  Dispatch(msg);
  return true;
}

bool TApplication::CheckSynchronize() { return RunSynchronizedCalls(); }

void TApplication::Dispatch(MSG& msg) {
  // Keyboard navigation (Tab, arrows between radio buttons) inside the
  // active form, as in a dialog box.
  HWND active = GetActiveWindow();
  if (active && TForm::FromHandle(active) && IsDialogMessageA(active, &msg)) {
    return;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

void TApplication::HandleException(std::exception_ptr error, const void* sender) noexcept {
  ReportException(error, ExceptionPoint::HandleException, sender);
}

void TApplication::ShowException(std::exception_ptr error) noexcept {
  ReportException(error, ExceptionPoint::ShowException, nullptr);
}

void TApplication::ReportException(std::exception_ptr error, ExceptionPoint point,
                                   const void* relatedObject) noexcept {
  try {
    if (exceptionHandler_)
      exceptionHandler_(error, point, relatedObject);
    else
      ShowDefaultException(error);
  } catch (...) {
    // Nothing may leave this function: it is called from window procedures.
  }
}

void TApplication::SetExceptionHandler(ExceptionHandler handler) {
  exceptionHandler_ = std::move(handler);
}

void TApplication::ShowDefaultException(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  ShowPlainMessage(ExceptionMessage(error));
}

}  // namespace corvan::ui
