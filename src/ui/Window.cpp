#include "ui/Window.h"

#include <exception>

#include "common/GuardedFrame.h"
#include "ui/Application.h"

namespace corvan::ui {
namespace {
constexpr char kObjectProperty[] = "CorvanWindowObject";
}

TWindow::~TWindow() {
  if (handle_) {
    RemovePropA(handle_, kObjectProperty);
    DestroyWindow(handle_);
  }
}

TWindow* TWindow::FromHandleBase(HWND hwnd) {
  return hwnd ? static_cast<TWindow*>(GetPropA(hwnd, kObjectProperty)) : nullptr;
}

void TWindow::CreateHandle(const char* className, UINT classStyle, HBRUSH background, DWORD exStyle,
                           const char* caption, DWORD style, int x, int y, int width, int height,
                           HWND parent) {
  HINSTANCE instance = Application().Instance();
  WNDCLASSA existing;
  if (!GetClassInfoA(instance, className, &existing)) {
    WNDCLASSA wc{};
    wc.style = classStyle;
    wc.lpfnWndProc = StaticWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, "MAINICON");
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    RegisterClassA(&wc);
  }
  CreateWindowExA(exStyle, className, caption, style, x, y, width, height, parent, nullptr,
                  instance, this);
}

LRESULT TWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(handle_, msg, wParam, lParam);
}

LRESULT CALLBACK TWindow::StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam,
                                        LPARAM lParam) noexcept {
  TWindow* self = FromHandleBase(hwnd);
  if (!self && msg == WM_NCCREATE) {
    self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->handle_ = hwnd;
    SetPropA(hwnd, kObjectProperty, self);
  }
  if (!self) return DefWindowProcA(hwnd, msg, wParam, lParam);
  GuardedFrame guard;
  try {
    const LRESULT result = self->WndProc(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
      RemovePropA(hwnd, kObjectProperty);
      self->handle_ = nullptr;
    }
    return result;
  } catch (...) {
    Application().HandleException(std::current_exception(), self);
    return 0;
  }
}

}  // namespace corvan::ui
