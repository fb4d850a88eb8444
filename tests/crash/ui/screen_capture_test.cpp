// Screen capture and the bitmap object under Wine: windows of known colours
// are found in the picture; BMP and PNG files round-trip.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "common/WinTestSupport.h"
#include "crash/ui/ScreenCapture.h"

namespace corvan::crash {
namespace {

using test::BmpPixel;

// A borderless topmost window painted in four quadrants of known colours.
class ColourWindow {
 public:
  static constexpr COLORREF kColours[4] = {RGB(200, 16, 32), RGB(16, 180, 40), RGB(20, 40, 220),
                                           RGB(250, 220, 10)};

  ColourWindow(int x, int y, int width, int height) {
    static const ATOM atom = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = Procedure;
      wc.hInstance = GetModuleHandleA(nullptr);
      wc.lpszClassName = "CorvanColourWindow";
      return RegisterClassA(&wc);
    }();
    (void)atom;
    window_ = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "CorvanColourWindow", "",
                              WS_POPUP | WS_VISIBLE, x, y, width, height, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    UpdateWindow(window_);
    test::PumpFor(300);
  }
  ~ColourWindow() { DestroyWindow(window_); }
  HWND get() const { return window_; }

 private:
  static LRESULT CALLBACK Procedure(HWND w, UINT m, WPARAM wp, LPARAM lp) noexcept {
    if (m == WM_ERASEBKGND) return 1;
    if (m != WM_PAINT) return DefWindowProcA(w, m, wp, lp);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(w, &ps);
    RECT c;
    GetClientRect(w, &c);
    const int mx = c.right / 2, my = c.bottom / 2;
    const RECT parts[4] = {
        {0, 0, mx, my}, {mx, 0, c.right, my}, {0, my, mx, c.bottom}, {mx, my, c.right, c.bottom}};
    for (int i = 0; i < 4; ++i) {
      HBRUSH brush = CreateSolidBrush(kColours[i]);
      FillRect(dc, &parts[i], brush);
      DeleteObject(brush);
    }
    EndPaint(w, &ps);
    return 0;
  }
  HWND window_;
};

// Checks the quadrant centres of a window at (x, y) of size w x h, found at
// (ox, oy) of the picture.
void ExpectQuadrants(const std::vector<std::uint8_t>& bmp, int ox, int oy, int w, int h) {
  const int cx[4] = {w / 4, 3 * w / 4, w / 4, 3 * w / 4};
  const int cy[4] = {h / 4, h / 4, 3 * h / 4, 3 * h / 4};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(BmpPixel(bmp, ox + cx[i], oy + cy[i]), ColourWindow::kColours[i]) << "quadrant " << i;
  }
}

TEST(CaptureScreen, WholeScreenShowsTheWindow) {
  ColourWindow window(120, 90, 200, 120);
  SetCursorPos(2, 2);  // the cursor is drawn in, away from the window
  Ref<INVBitmap> shot = CaptureScreen(false);
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->GetWidth(), GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(shot->GetHeight(), GetSystemMetrics(SM_CYVIRTUALSCREEN));
  const std::vector<std::uint8_t> bmp = shot->EncodeBmp();
  ExpectQuadrants(bmp, 120, 90, 200, 120);
  for (std::size_t i = 57; i < bmp.size(); i += 4) ASSERT_EQ(bmp[i], 0) << "fourth byte";
}

TEST(CaptureScreen, AppOnlyTakesTheBoundingBoxWhiteOutsideTheWindows) {
  ColourWindow a(100, 100, 200, 100);
  ColourWindow b(400, 300, 100, 80);
  SetCursorPos(1000, 900);
  Ref<INVBitmap> shot = CaptureScreen(true);
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->GetWidth(), 400);   // 100 .. 500
  EXPECT_EQ(shot->GetHeight(), 280);  // 100 .. 380
  const std::vector<std::uint8_t> bmp = shot->EncodeBmp();
  ExpectQuadrants(bmp, 0, 0, 200, 100);
  ExpectQuadrants(bmp, 300, 200, 100, 80);
  // Between the windows the screen is not copied.
  EXPECT_EQ(BmpPixel(bmp, 350, 50), RGB(255, 255, 255));
  EXPECT_EQ(BmpPixel(bmp, 50, 250), RGB(255, 255, 255));
}

TEST(CaptureScreen, AppOnlyWithNothingShowingGivesNothing) {
  ColourWindow a(100, 100, 200, 100);
  ShowWindow(a.get(), SW_HIDE);
  EXPECT_FALSE(CaptureScreen(true));
  ShowWindow(a.get(), SW_SHOWMINNOACTIVE);
  EXPECT_FALSE(CaptureScreen(true));
  ShowWindow(a.get(), SW_RESTORE);
  test::PumpFor(200);
  EXPECT_TRUE(CaptureScreen(true));
}

// Another process's window (Wine's Notepad), ended with the test.
class ForeignWindow {
 public:
  ForeignWindow() {
    if (!process_.Start("notepad.exe")) return;
    WaitForInputIdle(process_.Handle(), 10000);
    test::PumpUntil(
        [this] {
          EnumWindows(Find, reinterpret_cast<LPARAM>(this));
          return window_ != nullptr;
        },
        10000);
  }
  HWND get() const { return window_; }
  // Puts the window on top of everything at the given place.
  void Cover(int x, int y, int width, int height) {
    SetWindowPos(window_, HWND_TOPMOST, x, y, width, height, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    test::PumpFor(300);
  }

 private:
  static BOOL CALLBACK Find(HWND w, LPARAM self) noexcept {
    auto* me = reinterpret_cast<ForeignWindow*>(self);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == me->process_.Id() && IsWindowVisible(w) && !GetWindow(w, GW_OWNER)) {
      me->window_ = w;
      return FALSE;
    }
    return TRUE;
  }
  test::ChildProcess process_;
  HWND window_ = nullptr;
};

TEST(CaptureScreen, AppOnlyLeavesOutWhatOtherProgramsCover) {
  ColourWindow mine(100, 100, 200, 100);
  ForeignWindow other;
  ASSERT_TRUE(other.get());
  other.Cover(200, 50, 300, 300);  // the right half of our window
  SetCursorPos(1000, 900);
  Ref<INVBitmap> shot = CaptureScreen(true);
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->GetWidth(), 200);  // our window alone sets the area
  const std::vector<std::uint8_t> bmp = shot->EncodeBmp();
  EXPECT_EQ(BmpPixel(bmp, 50, 25), ColourWindow::kColours[0]);
  EXPECT_EQ(BmpPixel(bmp, 50, 75), ColourWindow::kColours[2]);
  EXPECT_EQ(BmpPixel(bmp, 150, 25), RGB(255, 255, 255));  // under Notepad
  EXPECT_EQ(BmpPixel(bmp, 150, 75), RGB(255, 255, 255));

  other.Cover(50, 50, 400, 300);  // all of it
  EXPECT_FALSE(CaptureScreen(true));
}

TEST(NVBitmap, BmpFilesRoundTrip) {
  ColourWindow window(50, 60, 90, 70);
  Ref<INVBitmap> shot = CaptureScreen(true);
  ASSERT_TRUE(shot);
  const std::string path = test::TempPath("shot.bmp");
  ASSERT_TRUE(shot->WriteBmp(path));
  Ref<INVBitmap> back = LoadBmpFile(path);
  DeleteFileA(path.c_str());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->EncodeBmp(), shot->EncodeBmp());
  EXPECT_FALSE(LoadBmpFile(test::TempPath("no-such.bmp")));
}

TEST(NVBitmap, LoadsA24BitBmpWithPaddedRows) {
  // 3 x 2 pixels, 24 bits, rows padded to 12 bytes, bottom-up.
  const std::uint8_t rows[2][12] = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0},
                                    {10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 0, 0}};
  std::vector<std::uint8_t> file = {'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                                    0,   0,   0,  3, 0, 0, 0, 2, 0, 0, 0,  1, 0, 24, 0};
  file.resize(54, 0);
  file.insert(file.end(), &rows[0][0], &rows[0][0] + 24);
  const std::string path = test::TempPath("small24.bmp");
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written;
  WriteFile(f, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
  CloseHandle(f);
  Ref<INVBitmap> bitmap = LoadBmpFile(path);
  DeleteFileA(path.c_str());
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->GetWidth(), 3);
  EXPECT_EQ(bitmap->GetHeight(), 2);
  const std::vector<std::uint8_t> bmp = bitmap->EncodeBmp();
  EXPECT_EQ(BmpPixel(bmp, 0, 1), RGB(3, 2, 1));  // bottom row first in the file
  EXPECT_EQ(BmpPixel(bmp, 2, 0), RGB(90, 80, 70));
}

TEST(NVBitmap, PngFilesAndFailedWrites) {
  ColourWindow window(50, 60, 90, 70);
  Ref<INVBitmap> shot = CaptureScreen(true);
  ASSERT_TRUE(shot);
  const std::string path = test::TempPath("shot.png");
  ASSERT_TRUE(shot->WritePng(path, 0));
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(f, nullptr), shot->EncodePng(0).size());
  CloseHandle(f);
  DeleteFileA(path.c_str());

  const std::string nowhere = "C:\\no\\such\\folder\\shot.png";
  EXPECT_FALSE(shot->WritePng(nowhere, 0));
  EXPECT_FALSE(shot->WriteBmp(nowhere));
  EXPECT_FALSE(test::FileExists(nowhere));

  // The grey variant turns the bitmap itself grey.
  const std::vector<std::uint8_t> grey = shot->EncodePng(1);
  ASSERT_FALSE(grey.empty());
  EXPECT_EQ(grey[24], 4);
  const COLORREF c = BmpPixel(shot->EncodeBmp(), 10, 10);
  EXPECT_EQ(GetRValue(c), GetGValue(c));
  EXPECT_EQ(GetGValue(c), GetBValue(c));
}

TEST(NVBitmap, ResizeKeepsTheAspectRatioAndPaints) {
  Ref<TINVBitmap> big = TINVBitmap::Create(1280, 1024);
  ASSERT_TRUE(big);
  Ref<INVBitmap> thumb = big->Resize(160, 120);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->GetWidth(), 150);
  EXPECT_EQ(thumb->GetHeight(), 120);
  Ref<TINVBitmap> other = TINVBitmap::Create(1024, 768);
  Ref<INVBitmap> exact = other->Resize(160, 120);
  EXPECT_EQ(exact->GetWidth(), 160);
  EXPECT_EQ(exact->GetHeight(), 120);
  Ref<INVBitmap> tiny = big->Resize(0, 0);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny->GetWidth(), 1);

  // Paint copies the pixels to another device context.
  ColourWindow window(10, 10, 40, 40);
  Ref<INVBitmap> shot = CaptureScreen(true);
  Ref<TINVBitmap> canvas = TINVBitmap::Create(60, 60);
  ASSERT_TRUE(shot->Paint(canvas->Dc(), 5, 5));
  EXPECT_EQ(BmpPixel(canvas->EncodeBmp(), 5 + 10, 5 + 10), ColourWindow::kColours[0]);
  EXPECT_FALSE(TINVBitmap::Create(0, 10));
}

}  // namespace
}  // namespace corvan::crash
