#include "crash/ui/zelNVPrgrAlert.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crash/codec/AlphaPicture.h"

namespace corvan::crash {
namespace {

constexpr char kClassName[] = "prgrAlertWndClass";
constexpr char kDefaultText[] = "Please wait...";
constexpr int kPictureSize = 32;
constexpr int kTextWidth = 420;  // texts wrap at this width
constexpr int kMinWidth = 220;   // the content is never narrower
constexpr int kPictureIndent = 40;
constexpr int kPictureHeight = 26;  // a shorter text is centred on the picture
constexpr LONG_PTR kCloseMark = 1;  // main window's user data: Close asked for it

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// The picture resource when it has exactly the expected size and header.
const std::uint8_t* FindPicture(HMODULE module, const std::string& name) {
  if (name.empty()) return nullptr;
  HRSRC found = FindResourceA(module, name.c_str(), MAKEINTRESOURCEA(2) /* RT_BITMAP */);
  if (!found || SizeofResource(module, found) != AlphaPictureBytes(kPictureSize)) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  const auto* bytes = loaded ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
  if (!bytes) return nullptr;
  BITMAPINFOHEADER header;
  std::memcpy(&header, bytes, sizeof header);
  // The DIB section is made from this header: it must describe exactly the
  // pixels that follow it.
  if (header.biSize != sizeof header || header.biWidth != kPictureSize ||
      (header.biHeight != kPictureSize && header.biHeight != -kPictureSize) ||
      header.biPlanes != 1 || header.biBitCount != 32 || header.biCompression != BI_RGB) {
    return nullptr;
  }
  return bytes;
}

void RegisterWindowClass(WNDPROC procedure) {
  WNDCLASSA wc{};
  wc.style = CS_CLASSDC | CS_PARENTDC;  // 0xC0
  wc.lpfnWndProc = procedure;
  wc.hInstance = ThisModule();
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassA(&wc);  // fails harmlessly when registered already
}

}  // namespace

Ref<IProgressAlert> CreateProgressWindow(const std::string& title, HMODULE pictureModule,
                                         const std::string& pictureName) {
  return Ref<IProgressAlert>(new TIProgressAlert(title, pictureModule, pictureName));
}

TIProgressAlert::TIProgressAlert(std::string title, HMODULE pictureModule, std::string pictureName)
    : title_(std::move(title)),
      pictureModule_(pictureModule),
      pictureName_(std::move(pictureName)) {}

TIProgressAlert::~TIProgressAlert() {
  Close();
  if (previousFont_) SelectObject(measureDc_.get(), previousFont_);
}

std::string TIProgressAlert::Title() {
  std::lock_guard guard(lock_);
  return title_;
}

void TIProgressAlert::SetTitle(const std::string& title) {
  HWND window;
  {
    std::lock_guard guard(lock_);
    if (title == title_) return;
    title_ = title;
    window = window_;
  }
  if (window) SetWindowTextA(window, title.c_str());
}

int TIProgressAlert::Position() {
  std::lock_guard guard(lock_);
  return areas_.Position();
}

void TIProgressAlert::SetPosition(int position) {
  {
    std::lock_guard guard(lock_);
    areas_.SetPosition(position);
  }
  UpdateBar();
}

void TIProgressAlert::AddArea(const std::string& text, std::uint64_t weight) {
  std::lock_guard guard(lock_);
  areas_.Add(text, weight);
}

void TIProgressAlert::ClearAreas() {
  std::lock_guard guard(lock_);
  areas_.Clear();
}

void TIProgressAlert::AreaDone() { SetCurrentArea(CurrentArea() + 1); }

int TIProgressAlert::CurrentArea() {
  std::lock_guard guard(lock_);
  return areas_.Current();
}

void TIProgressAlert::SetCurrentArea(int area) {
  std::string text;
  HWND label;
  {
    std::lock_guard guard(lock_);
    if (!areas_.SetCurrent(area)) return;
    text = areas_.CurrentText();
    label = label_;
  }
  UpdateBar();
  // From another thread this waits until the window's thread takes it.
  if (label) SetWindowTextA(label, text.c_str());
}

HWND TIProgressAlert::Window() {
  std::lock_guard guard(lock_);
  return window_;
}

HWND TIProgressAlert::Label() {
  std::lock_guard guard(lock_);
  return label_;
}

HWND TIProgressAlert::Bar() {
  std::lock_guard guard(lock_);
  return bar_;
}

bool TIProgressAlert::OnWindowThread() {
  std::lock_guard guard(lock_);
  return window_ && windowThread_ == GetCurrentThreadId();
}

void TIProgressAlert::UpdateBar() {
  HWND bar;
  int value;
  bool own;
  {
    std::lock_guard guard(lock_);
    bar = bar_;
    value = areas_.BarPosition();
    own = windowThread_ == GetCurrentThreadId();
  }
  if (!bar) return;
  if (own) {
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
    ProcessMessages();
  } else {
    PostMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(value), 0);  // never wait for the window
  }
}

void TIProgressAlert::ProcessMessages() {
  if (!OnWindowThread()) return;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {  // not ours to swallow: leave it for the real loop
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void TIProgressAlert::EnsureFont() {
  if (measureDc_) return;
  font_.reset(CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, "Tahoma"));
  if (!font_) {
    font_.reset(CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif"));
  }
  measureDc_.reset(CreateCompatibleDC(nullptr));
  if (measureDc_ && font_) previousFont_ = SelectObject(measureDc_.get(), font_.get());
}

SIZE TIProgressAlert::MeasureTexts() {
  std::vector<std::string> texts;
  {
    std::lock_guard guard(lock_);
    texts = areas_.RemainingTexts();
  }
  SIZE size = {0, 0};
  for (const std::string& text : texts) {
    RECT r = {0, 0, kTextWidth, 0};
    DrawTextA(measureDc_.get(), text.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK);
    size.cx = std::max(size.cx, r.right - r.left);
    size.cy = std::max(size.cy, r.bottom - r.top);
  }
  return size;
}

bool TIProgressAlert::Show(HWND parent, bool activate) {
  std::string title, text;
  {
    std::lock_guard guard(lock_);
    if (window_) return false;
    parent_ = parent;
    if (areas_.Count() == 0) areas_.Add(kDefaultText, 1000);
    title = title_;
    text = areas_.CurrentText();
  }
  if (parent) EnableWindow(parent, FALSE);

  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  RegisterWindowClass(WindowProc);
  HWND window = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName,
                                title.c_str(), WS_CAPTION, 0, 0, 100, 100, parent, nullptr,
                                ThisModule(), nullptr);
  if (!window) {
    if (parent) EnableWindow(parent, TRUE);
    return false;
  }
  if (HMENU menu = GetSystemMenu(window, FALSE)) {
    for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE}) {
      DeleteMenu(menu, command, MF_BYCOMMAND);
    }
  }

  EnsureFont();
  SIZE text_size = MeasureTexts();
  int width = text_size.cx, height = text_size.cy;
  HWND picture = nullptr;
  const bool hasPicture = FindPicture(pictureModule_, pictureName_) != nullptr;
  if (hasPicture) {
    width += kPictureIndent;
    picture =
        CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW, 9, 9,
                        kPictureSize, kPictureSize, window, nullptr, ThisModule(), nullptr);
    if (picture) SetWindowLongPtrA(picture, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  width = std::max(width, kMinWidth);
  int labelX = 11, labelY = 12;
  if (hasPicture) {
    labelX = 11 + kPictureIndent;
    if (height < kPictureHeight) {
      labelY = 12 + (kPictureHeight - height) / 2;
      height = kPictureHeight;
    }
  }
  // The label keeps to the right of the picture; the bar spans the width.
  HWND label = CreateWindowExA(0, "Static", text.c_str(), WS_CHILD | WS_VISIBLE, labelX, labelY,
                               width - (labelX - 11), height - (labelY - 12), window, nullptr,
                               ThisModule(), nullptr);
  if (label && font_) SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  const int barHeight = GetSystemMetrics(SM_CYVSCROLL);
  HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 11, height + 24, width,
                             barHeight, window, nullptr, ThisModule(), nullptr);
  if (bar) SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressAreas::kFull));

  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  const int windowWidth = width + 2 * GetSystemMetrics(SM_CXDLGFRAME) + 22;
  const int windowHeight = height + GetSystemMetrics(SM_CYSMCAPTION) + barHeight +
                           2 * GetSystemMetrics(SM_CYDLGFRAME) + 36;
  {
    std::lock_guard guard(lock_);
    window_ = window;
    picture_ = picture;
    label_ = label;
    bar_ = bar;
    windowThread_ = GetCurrentThreadId();
  }
  if (activate) {
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - windowWidth) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - windowHeight) / 2, windowWidth, windowHeight,
                 SWP_NOZORDER);
    ShowWindow(window, SW_SHOWNORMAL);
    BringWindowToTop(window);
    SetForegroundWindow(window);
  } else {
    RECT work;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0)) {
      work.right = GetSystemMetrics(SM_CXFULLSCREEN);
      work.bottom = GetSystemMetrics(SM_CYFULLSCREEN) + GetSystemMetrics(SM_CYCAPTION);
    }
    SetWindowPos(window, nullptr, work.right - windowWidth - 2, work.bottom - windowHeight - 2,
                 windowWidth, windowHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window, SW_SHOWNOACTIVATE);
  }
  UpdateBar();
  return true;
}

void TIProgressAlert::Close() {
  HWND window, picture, parent;
  DWORD thread;
  {
    std::lock_guard guard(lock_);
    window = window_;
    picture = picture_;
    parent = parent_;
    thread = windowThread_;
  }
  if (!window) return;
  if (picture) SetWindowLongPtrA(picture, GWLP_USERDATA, 0);
  if (thread == GetCurrentThreadId()) {
    DestroyWindow(window);
  } else {
    // Only the owning thread may destroy the window: the mark lets the
    // WM_CLOSE that SC_CLOSE turns into through.
    SetWindowLongPtrA(window, GWLP_USERDATA, kCloseMark);
    SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  {
    std::lock_guard guard(lock_);
    window_ = picture_ = label_ = bar_ = nullptr;
    windowThread_ = 0;
    parent_ = nullptr;
  }
  if (parent) {
    EnableWindow(parent, TRUE);
    if (GetWindowThreadProcessId(parent, nullptr) == GetCurrentThreadId()) {
      SetActiveWindow(parent);
    } else {
      SetForegroundWindow(parent);
    }
  }
}

void TIProgressAlert::DrawPicture(HDC dc) {
  const std::uint8_t* resource = FindPicture(pictureModule_, pictureName_);
  if (!resource) return;
  void* bits = nullptr;
  ScopedBitmap dib(CreateDIBSection(dc, reinterpret_cast<const BITMAPINFO*>(resource),
                                    DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || !bits) return;
  BlendPicture(resource + sizeof(BITMAPINFOHEADER), kPictureSize * kPictureSize,
               GetSysColor(COLOR_BTNFACE), static_cast<std::uint8_t*>(bits));
  ScopedDc memory(CreateCompatibleDC(dc));
  if (!memory) return;
  ScopedSelection select(memory.get(), dib.get());
  BitBlt(dc, 0, 0, kPictureSize, kPictureSize, memory.get(), 0, 0, SRCCOPY);
}

LRESULT CALLBACK TIProgressAlert::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) noexcept {
  try {
    switch (message) {
      case WM_CLOSE:
        // The user cannot close the window; Close from another thread can.
        if (GetWindowLongPtrA(window, GWLP_USERDATA) != kCloseMark) return 0;
        break;
      case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        auto* self =
            reinterpret_cast<TIProgressAlert*>(GetWindowLongPtrA(item->hwndItem, GWLP_USERDATA));
        if (!self) break;
        self->DrawPicture(item->hDC);
        return TRUE;
      }
      default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

}  // namespace corvan::crash
