#pragma once
// Base of every window class of ours: binds an HWND to its C++ object and
// makes sure no exception ever leaves a window procedure.
#include <windows.h>

namespace corvan::ui {

class TWindow {
 public:
  TWindow() = default;
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;
  virtual ~TWindow();

  HWND Handle() const { return handle_; }

  // The object behind a window created through CreateHandle, or null.
  static TWindow* FromHandleBase(HWND hwnd);

 protected:
  // Registers the class once (window procedure of this base) and creates the
  // window; WM_NCCREATE binds the object before any other message arrives.
  void CreateHandle(const char* className, UINT classStyle, HBRUSH background, DWORD exStyle,
                    const char* caption, DWORD style, int x, int y, int width, int height,
                    HWND parent);

  // Handles one message; the default forwards to DefWindowProc.
  virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;

  HWND handle_ = nullptr;
};

}  // namespace corvan::ui
