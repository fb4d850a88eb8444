// CaptureScreen: the virtual screen, or the visible parts of this process's
// windows, with the mouse cursor drawn in.
#include <windows.h>

#include <vector>

#include "crash/ui/ScreenCapture.h"

namespace corvan::crash {
namespace {

// Empty means both: no width and no height.
bool RectIsEmpty(const RECT& r) { return r.left >= r.right && r.top >= r.bottom; }

bool Showing(HWND window) { return IsWindowVisible(window) && !IsIconic(window); }

struct AppWindows {
  DWORD process = GetCurrentProcessId();
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectAppWindow(HWND window, LPARAM param) noexcept {
  try {
    auto* found = reinterpret_cast<AppWindows*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    RECT r;
    if (owner == found->process && Showing(window) && GetWindowRect(window, &r) &&
        !RectIsEmpty(r)) {
      found->windows.push_back(window);
    }
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

// The visible part of window: its rectangle minus every showing window
// above it in the Z order, whoever owns those.
ScopedRegion VisiblePart(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  ScopedRegion region(CreateRectRgnIndirect(&r));
  if (!region) return region;
  for (HWND above = GetWindow(window, GW_HWNDPREV); above; above = GetWindow(above, GW_HWNDPREV)) {
    RECT a;
    if (!Showing(above) || !GetWindowRect(above, &a)) continue;
    ScopedRegion cover(CreateRectRgnIndirect(&a));
    if (cover) CombineRgn(region.get(), region.get(), cover.get(), RGN_DIFF);
  }
  return region;
}

// Narrows capture to the application's windows and builds the clip region
// (relative to the capture's origin). False when nothing of them shows.
bool AppOnlyArea(RECT& capture, ScopedRegion& clip) {
  AppWindows found;
  EnumWindows(CollectAppWindow, reinterpret_cast<LPARAM>(&found));
  if (found.windows.empty()) return false;
  RECT bounds = {};
  bool first = true;
  for (HWND w : found.windows) {
    RECT r;
    GetWindowRect(w, &r);
    if (first) {
      bounds = r;
      first = false;
    } else {
      UnionRect(&bounds, &bounds, &r);
    }
  }
  if (!IntersectRect(&capture, &bounds, &capture)) return false;
  clip.reset(CreateRectRgn(0, 0, 0, 0));
  if (!clip) return false;
  for (HWND w : found.windows) {
    ScopedRegion part = VisiblePart(w);
    if (part) CombineRgn(clip.get(), clip.get(), part.get(), RGN_OR);
  }
  OffsetRgn(clip.get(), -capture.left, -capture.top);
  RECT box;
  return GetRgnBox(clip.get(), &box) != NULLREGION;
}

struct CursorState {
  HCURSOR cursor = nullptr;
  POINT position = {};
  bool showing = false;
};

CursorState CurrentCursor() {
  using GetCursorInfoFn = BOOL(WINAPI*)(PCURSORINFO);
  CursorState state;
  const auto getCursorInfo = reinterpret_cast<GetCursorInfoFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetCursorInfo")));
  CURSORINFO info{};
  info.cbSize = sizeof info;
  if (getCursorInfo && getCursorInfo(&info)) {
    state.cursor = info.hCursor;
    state.position = info.ptScreenPos;
    state.showing = (info.flags & CURSOR_SHOWING) != 0;
    return state;
  }
  // GetCursor answers for the calling thread's input state only: borrow the
  // input state of the thread that owns the window under the cursor.
  GetCursorPos(&state.position);
  const DWORD self = GetCurrentThreadId();
  const DWORD owner = GetWindowThreadProcessId(WindowFromPoint(state.position), nullptr);
  const bool attached = owner && owner != self && AttachThreadInput(self, owner, TRUE);
  state.cursor = GetCursor();
  if (attached) AttachThreadInput(self, owner, FALSE);
  state.showing = true;
  return state;
}

void DrawCursor(HDC dc, POINT origin) {
  const CursorState state = CurrentCursor();
  if (!state.showing || !state.cursor) return;
  POINT hotSpot = {};
  ICONINFO icon{};
  if (GetIconInfo(state.cursor, &icon)) {
    hotSpot = {static_cast<LONG>(icon.xHotspot), static_cast<LONG>(icon.yHotspot)};
    ScopedBitmap mask(icon.hbmMask), color(icon.hbmColor);  // copies made for us
  }
  DrawIconEx(dc, state.position.x - hotSpot.x - origin.x, state.position.y - hotSpot.y - origin.y,
             state.cursor, 0, 0, 0, nullptr, DI_NORMAL);
}

}  // namespace

Ref<INVBitmap> CaptureScreen(bool appOnly) {
  ScopedDc screen(CreateDCA("DISPLAY", nullptr, nullptr, nullptr));
  if (!screen) return nullptr;
  RECT capture;
  if (GetSystemMetrics(SM_CMONITORS) > 0) {
    capture.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    capture.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    capture.right = capture.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    capture.bottom = capture.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
  } else {
    capture = {0, 0, GetDeviceCaps(screen.get(), HORZRES), GetDeviceCaps(screen.get(), VERTRES)};
  }
  ScopedRegion clip;
  if (appOnly && !AppOnlyArea(capture, clip)) return nullptr;

  const int width = capture.right - capture.left, height = capture.bottom - capture.top;
  Ref<TINVBitmap> bitmap = TINVBitmap::Create(width, height);
  if (!bitmap) return nullptr;
  HDC dc = bitmap->Dc();
  if (clip) {
    const RECT all = {0, 0, width, height};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SelectClipRgn(dc, clip.get());
  }
  const bool copied =
      BitBlt(dc, 0, 0, width, height, screen.get(), capture.left, capture.top, SRCCOPY) != 0;
  SelectClipRgn(dc, nullptr);
  if (!copied) return nullptr;
  DrawCursor(dc, {capture.left, capture.top});
  bitmap->ClearFourthBytes();
  return bitmap;
}

}  // namespace corvan::crash
