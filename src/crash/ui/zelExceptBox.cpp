#include "crash/ui/zelExceptBox.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crash/codec/AlphaPicture.h"
#include "crash/ui/Clipboard.h"
#include "crash/ui/DetailsViewWin.h"
#include "crash/ui/PrintReport.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr int kButtonPicture = 16, kBigPictureSize = 32;
constexpr int kFrames = 8, kFrameMs = 10;
constexpr DWORD kClickAnimationGapMs = 200;
constexpr COLORREF kWhiteColour = RGB(255, 255, 255), kBlackColour = RGB(0, 0, 0);
constexpr std::uint32_t kFaceDelta = 0x101010;
constexpr int kMaxCaption = 29;
constexpr WPARAM kThawCode = 777;
constexpr const char* kPictureNames[] = {"ZEISEND",  "ZEISAVE",         "ZEIPRINT",
                                         "ZEISHOW",  "ZEICONTINUE",     "ZEIRESTART",
                                         "ZEICLOSE", "ZEICANTCONTINUE", "ZEIBIG"};
constexpr const char* kCaptionSettings[] = {"SendBtnTxt", "SaveBtnTxt",     "PrintBtnTxt",
                                            "ShowBtnTxt", "ContinueBtnTxt", "RestartBtnTxt",
                                            "CloseBtnTxt"};
constexpr const char* kVisibilitySettings[] = {"SendBtnVis", "SaveBtnVis",     "PrintBtnVis",
                                               "ShowBtnVis", "ContinueBtnVis", "RestartBtnVis",
                                               "CloseBtnVis"};
constexpr int kActionOf[] = {0, 1, 2, 6, 8, 9, 10};

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

bool HighColour() {
  ScopedWindowDc screen(nullptr);
  return GetDeviceCaps(screen.get(), BITSPIXEL) * GetDeviceCaps(screen.get(), PLANES) >= 15;
}

// A picture resource of exactly the expected size, else none.
const std::uint8_t* FindPicture(HMODULE module, int index, int size) {
  HRSRC found = FindResourceA(module, kPictureNames[index], MAKEINTRESOURCEA(2) /* RT_BITMAP */);
  if (!found || SizeofResource(module, found) != AlphaPictureBytes(size)) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  return loaded ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
}

HFONT MakeFont(int height, const char* face) {
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face);
}

std::string ExeTitle() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return WithoutExtension(FileNamePart(path));
}

void WriteOut(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out && out != INVALID_HANDLE_VALUE)
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

std::string BoxMessage(ExceptionBoxReport& report, bool simple) {
  const std::string message = BreakSentences(report.ExceptionMessage());
  if (report.IsFreeze()) return report.ExpandWithMessage(report.GetStr("FrozenMsg"), message);
  if (simple) return message;
  return report.ExpandWithMessage(report.GetStr("ExceptMsg"), message);
}

TExceptionBox::TExceptionBox(ExceptionBoxReport& report, BoxMode mode, bool beep)
    : report_(report),
      mode_(mode),
      simple_(mode != BoxMode::Full),
      detailsView_(mode == BoxMode::Full && report.GetBool("AutoShowBugRep")),
      flat_(!report.GetBool("UglyBtns")),
      buttonHeight_(simple_                      ? 23
                    : report.GetBool("UglyBtns") ? 26
                                                 : 22) {
  Build(beep);
}

TExceptionBox::~TExceptionBox() {
  if (listening_) report_.RemoveChangeListener(ReportChanged, this);
  details_.reset();
  if (window_ && IsWindow(window_)) {
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (canvas_) {
    if (previousBitmap_) SelectObject(canvas_.get(), previousBitmap_);
    if (previousFont_) SelectObject(canvas_.get(), previousFont_);
  }
}

void TExceptionBox::AdjustFocusedButton() {
  if (report_.AutoCloseDue() && report_.GetBool("CloseBtnVis")) {
    report_.SetInt("FocusedBtn", kCloseButton);
  } else if (report_.AutoRestartDue() && report_.GetBool("RestartBtnVis")) {
    report_.SetInt("FocusedBtn", kRestartButton);
  } else if (report_.GetBool("AutoContinue") && report_.GetBool("ContinueBtnVis") &&
             report_.CanContinue()) {
    report_.SetInt("FocusedBtn", kContinueButton);
  }
}

void TExceptionBox::CreateFonts() {
  dialogFont_.reset(MakeFont(-11, "Tahoma"));
  if (!dialogFont_) dialogFont_.reset(MakeFont(-12, "MS Sans Serif"));
  fixedFont_.reset(MakeFont(-11, "Courier New"));
  smallFont_.reset(MakeFont(-8, "Small Fonts"));
  canvas_.reset(CreateCompatibleDC(nullptr));
  if (canvas_) {
    previousFont_ = SelectObject(canvas_.get(), dialogFont_.get());
    SetBkMode(canvas_.get(), TRANSPARENT);
  }
}

std::string TExceptionBox::Caption(int button) const {
  if (simple_ && button == kContinueButton) return report_.GetStr("OkBtnTxt");
  if (simple_ && button == kShowButton) return report_.GetStr("DetailsBtnTxt");
  return report_.GetStr(kCaptionSettings[button]);
}

HWND TExceptionBox::CreateChild(const char* cls, const char* text, DWORD style, const BoxRect& r,
                                int id) {
  HWND child = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, r.x, r.y, r.width,
                               r.height, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               ThisModule(), nullptr);
  if (child) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(dialogFont_.get()), FALSE);
  return child;
}

void TExceptionBox::RegisterWindowClass() {
  WNDCLASSA wc{};
  wc.style = CS_CLASSDC | CS_PARENTDC;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = ThisModule();
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kExceptionBoxClass;
  RegisterClassA(&wc);  // fails harmlessly when registered already
}

void PrepareExceptionBoxThread() noexcept {
  try {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    TExceptionBox::RegisterWindowClass();
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, kExceptionBoxClass, "", WS_POPUP, 0, 0, 1, 1,
                                  nullptr, nullptr, ThisModule(), nullptr);
    if (!window) return;
    HWND button = CreateWindowExA(0, "Button", "", WS_CHILD | BS_OWNERDRAW, 0, 0, 1, 1, window,
                                  nullptr, ThisModule(), nullptr);
    ScopedFont font(MakeFont(-11, "Tahoma"));
    {
      ScopedWindowDc dc(button ? button : window);
      ScopedSelection select(dc.get(), font.get());
      SIZE extent;
      GetTextExtentPoint32A(dc.get(), "x", 1, &extent);
    }
    DestroyWindow(window);
  } catch (...) {
  }
}

void TExceptionBox::Build(bool beep) {
  if (mode_ == BoxMode::Full && report_.GetBool("AutoShowBugRep"))
    report_.SetBool("ShowBtnVis", false);
  AdjustFocusedButton();
  const std::string text = BoxMessage(report_, simple_);
  const std::string title = simple_ ? ExeTitle() : report_.GetStr("TitleBar");

  RegisterWindowClass();
  DWORD style = WS_CAPTION | WS_SYSMENU;
  if (detailsView_) style |= WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_TOPMOST;
  window_ = CreateWindowExA(exStyle, kExceptionBoxClass, title.c_str(), style, 0, 0, 100, 100,
                            nullptr, nullptr, ThisModule(), this);
  if (!window_) return;
  if (!detailsView_) {
    if (HMENU menu = GetSystemMenu(window_, FALSE)) {
      for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE})
        DeleteMenu(menu, command, MF_BYCOMMAND);
    }
  }
  CreateFonts();

  BoxLayoutInput in;
  in.simple = simple_;
  in.details = mode_ == BoxMode::MessageWithDetails;
  in.detailsView = detailsView_;
  in.buttonHeight = buttonHeight_;
  in.screenWidth = GetSystemMetrics(SM_CXSCREEN);
  in.screenHeight = GetSystemMetrics(SM_CYSCREEN);
  in.captionHeight = GetSystemMetrics(SM_CYCAPTION);
  std::array<bool, kButtonCount> visible{};
  for (int b = 0; b < kButtonCount; ++b) {
    const bool setting = report_.GetBool(kVisibilitySettings[b]);
    if (b == kShowButton) {
      visible[b] = simple_ ? in.details : setting;
    } else if (b == kContinueButton) {
      visible[b] = simple_ || setting;
    } else {
      visible[b] = !simple_ && setting;
    }
    if (!visible[b]) continue;
    const std::string caption = Caption(b);
    SIZE extent{};
    GetTextExtentPoint32A(canvas_.get(), caption.c_str(), static_cast<int>(caption.size()),
                          &extent);
    in.widths[b] = extent.cx + 39;
    if (simple_ && in.widths[b] < 75) in.widths[b] = 79;
  }
  in.bigPicture = FindPicture(report_.PictureModule(), kBigPicture, kBigPictureSize) != nullptr;
  BoxLayout layout = PlanBox(in);
  RECT measured = {0, 0, layout.textRectWidth, 0};
  DrawTextA(canvas_.get(), text.c_str(), -1, &measured, DT_CALCRECT | DT_WORDBREAK);
  PlaceBox(layout, in, measured.right - measured.left, measured.bottom - measured.top);

  canvasWidth_ = std::max(layout.canvasWidth, 1);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = canvasWidth_;
  info.bmiHeader.biHeight = buttonHeight_;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  canvasBitmap_.reset(CreateDIBSection(canvas_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  canvasPixels_ = static_cast<std::uint32_t*>(bits);
  if (canvasBitmap_) previousBitmap_ = SelectObject(canvas_.get(), canvasBitmap_.get());

  if (in.bigPicture) {
    big_ = CreateChild("Button", "", WS_DISABLED | BS_OWNERDRAW, layout.big, kBigPicture + 100);
  }
  const int focusedIndex = report_.GetInt("FocusedBtn") & 0x7F;
  HWND focus = nullptr;
  for (int b = 0; b < kButtonCount; ++b) {
    if (!visible[b]) continue;
    DWORD buttonStyle = WS_TABSTOP;
    if (!simple_) {
      buttonStyle |= BS_OWNERDRAW;
    } else if (b == kContinueButton) {
      buttonStyle |= BS_DEFPUSHBUTTON;
    }
    buttons_[b] =
        CreateChild("Button", Caption(b).c_str(), buttonStyle, layout.buttons[b], 100 + b);
    if (!buttons_[b]) continue;
    SetWindowLongPtrA(buttons_[b], GWLP_USERDATA, b);
    if (!focus && (simple_ ? b == kContinueButton : b == focusedIndex)) focus = buttons_[b];
  }
  if (Shown(kContinueButton) && !report_.CanContinue() &&
      (Shown(kRestartButton) || Shown(kCloseButton))) {
    EnableWindow(buttons_[kContinueButton], FALSE);
    cantContinue_ = true;
  }
  CreateChild("Static", text.c_str(), 0, layout.text, 0);
  if (detailsView_) {
    details_ = std::make_unique<DetailsViewWindow>(window_, layout.tabs, dialogFont_.get(),
                                                   fixedFont_.get(), report_);
  }

  RECT frame = {0, 0, layout.clientWidth, layout.clientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, (in.screenWidth - width) / 2, (in.screenHeight - height) / 2,
               width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  minimum_ = {width, height};
  RECT client;
  GetClientRect(window_, &client);
  lastClient_ = {client.right, client.bottom};
  layoutDone_ = true;

  if (!simple_) {
    if (report_.AutoCloseDue() && Shown(kCloseButton)) {
      countdownButton_ = kCloseButton;
    } else if (report_.AutoRestartDue() && Shown(kRestartButton)) {
      countdownButton_ = kRestartButton;
    } else if (report_.GetBool("AutoContinue") && Shown(kContinueButton) && report_.CanContinue()) {
      countdownButton_ = kContinueButton;
    }
    if (countdownButton_ >= 0) {
      countdownStart_ = std::max<DWORD>(GetTickCount(), 1);
      SetTimer(window_, kCountdownTimer, 10, nullptr);
    }
  }
  if (beep) MessageBeep(MB_ICONHAND);
  if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
  ShowWindow(window_, SW_SHOWNORMAL);
  BringWindowToTop(window_);
  SetForegroundWindow(window_);
  if (focus) SetFocus(focus);
  focusSet_ = true;  // from now on focus changes are the user's
  if (report_.IsFreeze()) report_.WatchForThaw(window_);
  report_.AddChangeListener(ReportChanged, this);
  listening_ = true;
}

void TExceptionBox::ReportChanged(void* self) noexcept {
  auto* box = static_cast<TExceptionBox*>(self);
  if (box->window_) PostMessageA(box->window_, kReportChangedMessage, 1357, 2468);
}

bool TExceptionBox::Run() {
  MSG msg;
  while (window_ && IsWindow(window_)) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // not ours: the program's loop ends on it
      break;
    }
    if (got < 0) break;
    if (msg.message == WM_KEYDOWN) {
      if (msg.wParam == VK_ESCAPE) {
        PostMessageA(window_, WM_CLOSE, 0, 0);
        continue;
      }
      if (msg.wParam == VK_F1) {
        report_.FireAction(7, window_);
        continue;
      }
      if (msg.wParam == 'C' && GetKeyState(VK_CONTROL) < 0) {
        CopyToClipboard();
        continue;
      }
    }
    if (details_ && details_->OwnsMessage(msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    } else if (!IsDialogMessageA(window_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return reshow_;
}

void TExceptionBox::CopyToClipboard() {
  PutTextOnClipboard(report_.GetBool("AutoShowBugRep") ? report_.ReportText(false)
                                                       : report_.ExceptionMessage());
}

// ---- Painting ------------------------------------------------------------

TExceptionBox::Colours TExceptionBox::NormalColours(bool disabled) const {
  COLORREF face = GetSysColor(COLOR_BTNFACE);
  if (HighColour()) face = LighterOrDarker(face, disabled ? kFaceDelta / 2 : kFaceDelta);
  return {kBlackColour, face};
}

TExceptionBox::Colours TExceptionBox::FocusedColours() const {
  return {kWhiteColour, GetSysColor(COLOR_3DDKSHADOW)};
}

void TExceptionBox::DrawPicture(int picture, int x, int y, int size) {
  const std::uint8_t* resource = FindPicture(report_.PictureModule(), picture, size);
  if (!resource || !canvasPixels_) return;
  GdiFlush();
  BITMAPINFOHEADER header;
  std::memcpy(&header, resource, sizeof header);
  const bool bottomUp = header.biHeight > 0;
  const std::uint8_t* pixels = resource + sizeof header;
  for (int row = 0; row < size; ++row) {
    const int canvasY = y + row;
    if (canvasY < 0 || canvasY >= buttonHeight_) continue;
    const int sourceRow = bottomUp ? size - 1 - row : row;
    for (int col = 0; col < size && x + col < canvasWidth_; ++col) {
      const std::uint8_t* p = pixels + (sourceRow * size + col) * 4;
      std::uint32_t& target = canvasPixels_[(buttonHeight_ - 1 - canvasY) * canvasWidth_ + x + col];
      const std::uint32_t g = p[3] + 1u;
      const std::uint32_t pictureRb = p[0] | (static_cast<std::uint32_t>(p[2]) << 16);
      const std::uint32_t rb = (((target & 0xFF00FF) * (256 - g) + pictureRb * g) >> 8) & 0xFF00FF;
      const std::uint32_t green =
          (((target & 0xFF00) * (256 - g) + (static_cast<std::uint32_t>(p[1]) << 8) * g) >> 8) &
          0xFF00;
      target = rb | green;
    }
  }
}

void TExceptionBox::PaintButton(HWND button, HDC dc, int index, Colours colours, bool focused,
                                bool disabled, bool selected, int marker) {
  RECT client;
  GetClientRect(button, &client);
  const int width = std::min<int>(client.right, canvasWidth_),
            height = std::min<int>(client.bottom, buttonHeight_);
  HDC canvas = canvas_.get();
  RECT r = {0, 0, width, height};
  int offset = 0;
  if (!flat_) {
    DrawFrameControl(canvas, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (selected ? DFCS_PUSHED : 0));
    if (focused) {
      RECT f = {3, 3, width - 3, height - 3};
      DrawFocusRect(canvas, &f);
    }
    offset = 2;
  } else {
    ScopedGdi<HBRUSH> brush(CreateSolidBrush(colours.background));
    FillRect(canvas, &r, brush.get());
  }
  if (marker >= 0) {
    const COLORREF line = flat_ ? GetSysColor(COLOR_BTNFACE) : GetSysColor(COLOR_3DDKSHADOW);
    auto vertical = [&](int x, COLORREF c) {
      if (x < 0 || x >= width) return;
      ScopedGdi<HPEN> pen(CreatePen(PS_SOLID, 1, c));
      ScopedSelection select(canvas, pen.get());
      MoveToEx(canvas, x, 2 * offset, nullptr);
      LineTo(canvas, x, height - 2 * offset);
    };
    vertical(marker, line);
    if (HighColour()) {
      for (int i = 1; i <= 3; ++i) {
        const COLORREF shade = MarkerShade(line, colours.background, i);
        vertical(marker - i, shade);
        vertical(marker + i, shade);
      }
    }
  }
  DrawPicture(index == kContinueButton && cantContinue_ ? kCantContinuePicture : index, offset + 3,
              offset + 3, kButtonPicture);
  std::string caption(Caption(index).substr(0, kMaxCaption));
  SIZE extent{};
  GetTextExtentPoint32A(canvas, caption.c_str(), static_cast<int>(caption.size()), &extent);
  const int x = (width - extent.cx - 35) / 2 + 27, y = offset + 4;
  if (disabled) {
    SetTextColor(canvas, kWhiteColour);
    TextOutA(canvas, x + 1, y + 1, caption.c_str(), static_cast<int>(caption.size()));
    SetTextColor(canvas, GetSysColor(COLOR_3DDKSHADOW));
  } else {
    SetTextColor(canvas, colours.text);
  }
  TextOutA(canvas, x, y, caption.c_str(), static_cast<int>(caption.size()));
  GdiFlush();
  BitBlt(dc, 0, 0, client.right, client.bottom, canvas, 0, 0, SRCCOPY);
}

void TExceptionBox::Animate(HWND button, int index, Colours from, Colours to) {
  ScopedWindowDc dc(button);
  for (int k = 1; k <= kFrames; ++k) {
    const Colours frame = {FadeColour(from.text, to.text, k),
                           FadeColour(from.background, to.background, k)};
    PaintButton(button, dc.get(), index, frame, false, false, false, -1);
    GdiFlush();
    if (k < kFrames) Sleep(kFrameMs);
  }
  lastAnimationEnd_ = GetTickCount();
}

void TExceptionBox::DrawBigPicture(HDC dc) {
  // A canvas of its own: the button canvas is only one button high.
  BITMAPINFO info{};
  info.bmiHeader = {
      sizeof info.bmiHeader, kBigPictureSize, kBigPictureSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  const std::uint8_t* resource = FindPicture(report_.PictureModule(), kBigPicture, kBigPictureSize);
  if (!resource) return;
  void* bits = nullptr;
  ScopedBitmap dib(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || !bits) return;
  BlendPicture(resource + sizeof(BITMAPINFOHEADER), kBigPictureSize * kBigPictureSize,
               GetSysColor(COLOR_BTNFACE), static_cast<std::uint8_t*>(bits));
  ScopedDc memory(CreateCompatibleDC(dc));
  if (!memory) return;
  ScopedSelection select(memory.get(), dib.get());
  BitBlt(dc, 0, 0, kBigPictureSize, kBigPictureSize, memory.get(), 0, 0, SRCCOPY);
}

void TExceptionBox::DrawItem(const DRAWITEMSTRUCT& item) {
  if (item.hwndItem == big_) {
    DrawBigPicture(item.hDC);
    return;
  }
  const int index = static_cast<int>(GetWindowLongPtrA(item.hwndItem, GWLP_USERDATA));
  if (index < 0 || index >= kButtonCount) return;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool focused = (item.itemState & ODS_FOCUS) != 0;
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  const bool counting = countdownStart_ != 0 && index == countdownButton_;
  if (flat_ && item.itemAction == ODA_FOCUS && focusSet_) {
    // A focus change fades between the two looks and stops the count-down.
    StopCountdown();
    if (focused) {
      Animate(item.hwndItem, index, NormalColours(disabled), FocusedColours());
    } else {
      Animate(item.hwndItem, index, FocusedColours(), NormalColours(disabled));
    }
  }
  Colours colours = focused && flat_ ? FocusedColours() : NormalColours(disabled);
  int marker = -1;
  if (counting && marker_ >= 0) {
    marker = marker_;
    colours = flat_ ? FocusedColours() : Colours{kBlackColour, NormalColours(false).background};
  }
  PaintButton(item.hwndItem, item.hDC, index, colours, focused || (counting && !flat_), disabled,
              selected && !flat_, marker);
}

// ---- Count-down and actions ---------------------------------------------------

void TExceptionBox::Tick() {
  const int delay = report_.GetInt("AutoDelay");
  if (countdownStart_ == 0 || countdownButton_ < 0 || delay <= 0) return;
  HWND button = buttons_[countdownButton_];
  RECT client;
  GetClientRect(button, &client);
  const MarkerPosition m =
      CountdownMarker(GetTickCount() - countdownStart_, client.right, delay, !flat_);
  if (m.x == marker_) return;
  if (m.press) {
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    KillTimer(window_, kCountdownTimer);
    return;
  }
  marker_ = m.x;
  InvalidateRect(button, nullptr, FALSE);
}

void TExceptionBox::StopCountdown() {
  if (countdownStart_ == 0) return;
  KillTimer(window_, kCountdownTimer);
  countdownStart_ = 0;
  marker_ = -1;
  if (countdownButton_ >= 0 && buttons_[countdownButton_])
    InvalidateRect(buttons_[countdownButton_], nullptr, FALSE);
}

void TExceptionBox::Command(HWND control) {
  const auto found = std::find(buttons_.begin(), buttons_.end(), control);
  if (!control || found == buttons_.end()) return;
  const int index = static_cast<int>(found - buttons_.begin());
  const bool automatic = countdownStart_ != 0 && index == countdownButton_;
  StopCountdown();
  if (!simple_ && flat_ && !automatic &&
      (index == kShowButton || GetTickCount() - lastAnimationEnd_ >= kClickAnimationGapMs)) {
    // Click feedback.
    const Colours face = {GetSysColor(COLOR_BTNFACE), GetSysColor(COLOR_BTNFACE)};
    if (index == kShowButton) {
      Animate(control, index, FocusedColours(), face);
    } else {
      const bool focused = GetFocus() == control;
      const Colours normal = focused ? FocusedColours() : NormalColours(false);
      Animate(control, index, normal, face);
      Sleep(kFrameMs);
      Animate(control, index, face, normal);
    }
  }
  Press(index);
}

void TExceptionBox::Press(int index) {
  if (index == kContinueButton && !report_.CanContinue()) index = kCloseButton;
  const bool handled = report_.FireAction(kActionOf[index], window_);
  switch (index) {
    case kContinueButton:
      CloseBox();
      return;
    case kRestartButton:
    case kCloseButton:
      if (handled) return;
      CloseBox();
      report_.FinishAutomaticActions();
      if (index == kRestartButton) report_.RestartProgram();
      report_.TerminateProgram();
      return;
    case kShowButton:
      reshow_ = true;
      CloseBox();
      return;
    case kSendButton:
      if (!handled) report_.Send(window_);
      break;
    case kSaveButton:
      if (!handled && report_.Save(window_)) {
        const std::string file = report_.GetStr("BugRepFile");
        if (file.size() > 2 && (file[0] == '\\' || file[1] == ':')) {
          DestroyWindow(buttons_[kSaveButton]);
          buttons_[kSaveButton] = nullptr;
        }
      }
      break;
    case kPrintButton:
      if (!handled)
        PrintBugReport(report_.ReportText(true), window_, report_.GetStr("PrintBtnTxt"));
      break;
    default:
      break;
  }
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
}

void TExceptionBox::CloseRequest() {
  std::array<bool, kButtonCount> shown{};
  for (int b = 0; b < kButtonCount; ++b) shown[b] = Shown(b);
  switch (
      ChooseOnClose(report_.GetInt("FocusedBtn") & 0x7F, shown, report_.CanContinue(), simple_)) {
    case CloseChoice::Continue:
      Press(kContinueButton);
      break;
    case CloseChoice::Restart:
      Press(kRestartButton);
      break;
    case CloseChoice::Close:
      Press(kCloseButton);
      break;
    case CloseChoice::Ignore:
      break;
  }
}

void TExceptionBox::CloseBox() {
  shuttingDown_ = true;
  KillTimer(window_, kCountdownTimer);
  if (details_) details_->Drop();
  if (listening_) {
    report_.RemoveChangeListener(ReportChanged, this);
    listening_ = false;
  }
  HWND window = window_;
  window_ = nullptr;
  SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
}

// ---- Window procedure ---------------------------------------------------------

LRESULT CALLBACK TExceptionBox::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) noexcept {
  try {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* box = reinterpret_cast<TExceptionBox*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (box && box->window_ == window) return box->Handle(message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

LRESULT TExceptionBox::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      HWND control = reinterpret_cast<HWND>(lParam);
      if (wParam == IDOK && !control) control = GetFocus();
      Command(control);
      return 0;
    }
    case WM_CLOSE:
      CloseRequest();
      return 0;
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_GETMINMAXINFO:
      if (layoutDone_)
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {minimum_.cx, minimum_.cy};
      return 0;
    case WM_SIZE:
      if (layoutDone_ && wParam != SIZE_MINIMIZED) {
        const int dx = LOWORD(lParam) - lastClient_.cx, dy = HIWORD(lParam) - lastClient_.cy;
        lastClient_ = {LOWORD(lParam), HIWORD(lParam)};
        for (int b : {kContinueButton, kRestartButton, kCloseButton}) {
          if (!buttons_[b]) continue;
          RECT r;
          GetWindowRect(buttons_[b], &r);
          MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
          SetWindowPos(buttons_[b], nullptr, r.left + dx, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        }
        if (details_) details_->Grow(dx, dy);
      }
      break;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (details_ && header->hwndFrom == details_->Tabs() && header->code == TCN_SELCHANGE) {
        details_->ShowCurrentTab(false);
      }
      break;
    }
    case WM_TIMER:
      if (wParam == kCountdownTimer) Tick();
      return 0;
    case kReportChangedMessage:
      if (details_ && wParam == 1357 && lParam == 2468) {
        details_->UpdateTabs();
        details_->ShowCurrentTab(false);
      }
      return 0;
    case WM_NULL:
      if (wParam == kThawCode && lParam == static_cast<LPARAM>(kThawCode)) CloseBox();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

// ---- Entry points ----------------------------------------------------------------

void RunExceptionBox(ExceptionBoxReport& report, BoxMode mode, bool beep) {
  bool reshow;
  {
    TExceptionBox box(report, mode, beep);
    if (!box.Window()) return;
    reshow = box.Run();
  }
  if (!reshow || mode == BoxMode::Message) return;
  report.SetBool("AutoShowBugRep", true);
  report.SetBool("AutoContinue", false);
  report.SetInt("AutoRestart", 0);
  report.SetInt("AutoClose", 0);
  TExceptionBox box(report, BoxMode::Full, false);
  if (box.Window()) box.Run();
}

void PresentException(ExceptionBoxReport& report, int showSetting) {
  if (report.IsConsoleProgram()) {
    WriteOut(BoxMessage(report, false) + "\r\n");
    if (report.GetBool("AutoShowBugRep") || report.GetBool("ShowBtnVis")) {
      report.SetBool("PlWaitBox", false);
      WriteOut("\r\n" + report.ReportText(true) + "\r\n");
    }
    return;
  }
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  switch (showSetting) {
    case 1:
      if (report.RunShowAssistant()) break;
      [[fallthrough]];  // no such assistant: the full box
    case 0:
      RunExceptionBox(report, BoxMode::Full, true);
      break;
    case 2:
      RunExceptionBox(report, BoxMode::MessageWithDetails, true);
      break;
    case 3:
      RunExceptionBox(report, BoxMode::Message, true);
      break;
    default:
      break;
  }
}

}  // namespace corvan::crash
