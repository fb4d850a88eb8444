#pragma once
// The exception box: a topmost window of its own class, built at run time,
// with a picture, the configured message, owner-drawn buttons (send, save,
// print, show, continue, restart, close) in a row or a column, an optional
// count-down that presses one of them, and, when the report is shown, the
// details view below. It runs its own message loop on the calling thread,
// so it works while the program's main thread is blocked.
#include <windows.h>

#include <array>
#include <memory>
#include <string>

#include "crash/ui/ExceptionBoxLayout.h"
#include "crash/ui/ExceptionBoxReport.h"
#include "common/WinHandles.h"

namespace corvan::crash {

class DetailsViewWindow;

// Message 1801: the report changed (wParam 1357, lParam 2468).
inline constexpr UINT kReportChangedMessage = WM_USER + 777;
inline constexpr UINT_PTR kCountdownTimer = 777;
inline constexpr char kExceptionBoxClass[] = "zelExceptWndClass";

enum class BoxMode { Full, MessageWithDetails, Message };

class TExceptionBox {
 public:
  TExceptionBox(ExceptionBoxReport& report, BoxMode mode, bool beep);
  ~TExceptionBox();
  TExceptionBox(const TExceptionBox&) = delete;
  TExceptionBox& operator=(const TExceptionBox&) = delete;

  // Runs until the box is closed; true when the user asked for the report.
  bool Run();
  HWND Window() const { return window_; }
  // "zelExceptWndClass" of this module (an existing class is kept).
  static void RegisterWindowClass();

 private:
  struct Colours {
    COLORREF text, background;
  };
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
  static void ReportChanged(void* self) noexcept;
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void Build(bool beep);
  void AdjustFocusedButton();
  void CreateFonts();
  HWND CreateChild(const char* cls, const char* text, DWORD style, const BoxRect& r, int id);
  std::string Caption(int button) const;
  bool Shown(int button) const { return buttons_[button] != nullptr; }

  void DrawItem(const DRAWITEMSTRUCT& item);
  void PaintButton(HWND button, HDC dc, int index, Colours colours, bool focused, bool disabled,
                   bool selected, int marker);
  Colours NormalColours(bool disabled) const;
  Colours FocusedColours() const;
  void Animate(HWND button, int index, Colours from, Colours to);
  void DrawPicture(int picture, int x, int y, int size);
  void DrawBigPicture(HDC dc);

  void Tick();
  void StopCountdown();
  void Command(HWND control);
  void Press(int index);
  void CloseRequest();
  void CloseBox();
  void CopyToClipboard();

  ExceptionBoxReport& report_;
  BoxMode mode_;
  bool simple_;
  bool detailsView_;
  bool flat_;
  int buttonHeight_;
  ScopedFont dialogFont_, fixedFont_, smallFont_;
  ScopedDc canvas_;
  ScopedBitmap canvasBitmap_;
  HGDIOBJ previousBitmap_ = nullptr, previousFont_ = nullptr;
  std::uint32_t* canvasPixels_ = nullptr;
  int canvasWidth_ = 0;
  HWND window_ = nullptr;
  std::array<HWND, kButtonCount> buttons_{};
  HWND big_ = nullptr;
  HWND focused_ = nullptr;  // the button drawn focused last
  int countdownButton_ = -1;
  DWORD lastAnimationEnd_ = 0;
  DWORD countdownStart_ = 0;
  int marker_ = -1;
  bool reshow_ = false, layoutDone_ = false, shuttingDown_ = false, focusSet_ = false;
  bool cantContinue_ = false;
  bool listening_ = false;
  SIZE minimum_{};
  SIZE lastClient_{};
  std::unique_ptr<DetailsViewWindow> details_;
};

// Runs a box and, when the user asked for the report, a full box with the
// details view after it.
void RunExceptionBox(ExceptionBoxReport& report, BoxMode mode, bool beep);

// The presentation entry: by the report's show setting, the full box or a
// message box (0, 2, 3), nothing (4); on standard output in a console
// program. Returns when the user is done (unless the program was ended).
void PresentException(ExceptionBoxReport& report, int showSetting);

// Readies the calling thread for showing a box fast when a fault comes:
// the window class, the thread's window state and the fonts' first use.
// Takes some tens of milliseconds under Wine; never shows anything.
void PrepareExceptionBoxThread() noexcept;

// The message broken into sentences, as the box and the console show it.
std::string BoxMessage(ExceptionBoxReport& report, bool simple);

}  // namespace corvan::crash
