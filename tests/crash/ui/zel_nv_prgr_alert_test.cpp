// The progress window under Wine: bar and label as the controls report
// them, a second thread driving it, the picture as captured from the screen.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <thread>

#include "common/WinTestSupport.h"
#include "crash/codec/AlphaPicture.h"
#include "crash/ui/ScreenCapture.h"
#include "crash/ui/zelNVPrgrAlert.h"

namespace corvan::crash {
namespace {

using test::PumpUntil;
using test::WindowText;

TIProgressAlert* Impl(const Ref<IProgressAlert>& alert) {
  return static_cast<TIProgressAlert*>(alert.get());
}

int BarPosition(const Ref<IProgressAlert>& alert) {
  return static_cast<int>(SendMessageA(Impl(alert)->Bar(), PBM_GETPOS, 0, 0));
}

GUID Guid(const wchar_t* text) {
  GUID guid{};
  EXPECT_EQ(IIDFromString(text, &guid), S_OK) << text;
  return guid;
}

RECT ChildRect(HWND child) {  // in the parent's client coordinates
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TEST(ProgressWindow, WeightedBarAndAreaTexts) {
  Ref<IProgressAlert> alert = CreateProgressWindow("Sending report", nullptr, "");
  alert->AddArea("Preparing attachments", 100);
  alert->AddArea("Uploading", 300);
  alert->SetCurrentArea(1);
  alert->SetPosition(500);  // before Show: only stored
  EXPECT_EQ(Impl(alert)->Window(), nullptr);
  ASSERT_TRUE(alert->Show(nullptr, false));
  EXPECT_FALSE(alert->Show(nullptr, false));
  EXPECT_EQ(WindowText(Impl(alert)->Window()), "Sending report");
  EXPECT_EQ(BarPosition(alert), 625);  // (100 + 300 * 500 / 1000) * 1000 / 400
  EXPECT_EQ(WindowText(Impl(alert)->Label()), "Uploading");

  alert->AreaDone();  // past the last area: all done, its text stays
  EXPECT_EQ(BarPosition(alert), 1000);
  EXPECT_EQ(alert->CurrentArea(), 1);
  EXPECT_EQ(alert->Position(), 1000);
  alert->AreaDone();
  EXPECT_EQ(BarPosition(alert), 1000);
  EXPECT_EQ(WindowText(Impl(alert)->Label()), "Uploading");

  alert->SetCurrentArea(0);
  EXPECT_EQ(BarPosition(alert), 0);
  EXPECT_EQ(WindowText(Impl(alert)->Label()), "Preparing attachments");
  alert->SetCurrentArea(5);  // out of range: nothing happens
  alert->SetCurrentArea(-1);
  EXPECT_EQ(alert->CurrentArea(), 0);

  alert->SetTitle("Other title");
  EXPECT_EQ(WindowText(Impl(alert)->Window()), "Other title");
  const HWND window = Impl(alert)->Window();
  alert->Close();
  EXPECT_FALSE(IsWindow(window));
  alert->Close();                            // closed already: nothing
  EXPECT_TRUE(alert->Show(nullptr, false));  // and it can be shown again
}

TEST(ProgressWindow, WithoutAreasItSaysPleaseWait) {
  Ref<IProgressAlert> alert = CreateProgressWindow("", nullptr, "");
  ASSERT_TRUE(alert->Show(nullptr, false));
  EXPECT_EQ(WindowText(Impl(alert)->Label()), "Please wait...");
  EXPECT_EQ(BarPosition(alert), 0);
  // Never narrower than 220 pixels of content; without a picture the text
  // starts at 11.
  const RECT bar = ChildRect(Impl(alert)->Bar());
  EXPECT_EQ(bar.right - bar.left, 220);
  EXPECT_EQ(bar.left, 11);
  EXPECT_EQ(ChildRect(Impl(alert)->Label()).left, 11);
  // Not activated: bottom right of the work area, 2 pixels from its edges.
  RECT work, window;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  GetWindowRect(Impl(alert)->Window(), &window);
  EXPECT_EQ(window.right, work.right - 2);
  EXPECT_EQ(window.bottom, work.bottom - 2);
  EXPECT_TRUE(GetWindowLongA(Impl(alert)->Window(), GWL_EXSTYLE) & WS_EX_TOPMOST);
}

TEST(ProgressWindow, EmptyOrZeroWeightAreasKeepTheBarAtZero) {
  Ref<IProgressAlert> alert = CreateProgressWindow("", nullptr, "");
  alert->AddArea("first", 0);
  alert->AddArea("", 0);  // takes the text before it
  ASSERT_TRUE(alert->Show(nullptr, false));
  alert->SetPosition(700);
  EXPECT_EQ(BarPosition(alert), 0);
  alert->AreaDone();
  EXPECT_EQ(WindowText(Impl(alert)->Label()), "first");
  alert->ClearAreas();
  alert->SetPosition(500);
  EXPECT_EQ(BarPosition(alert), 0);
}

TEST(ProgressWindow, LongTextsWrap) {
  Ref<IProgressAlert> shortOne = CreateProgressWindow("", nullptr, "");
  shortOne->AddArea("One line", 1);
  ASSERT_TRUE(shortOne->Show(nullptr, false));
  const RECT oneLine = ChildRect(Impl(shortOne)->Label());

  Ref<IProgressAlert> alert = CreateProgressWindow("", nullptr, "");
  std::string text;
  for (int i = 0; i < 40; ++i) text += "connecting ";
  alert->AddArea(text, 1);
  ASSERT_TRUE(alert->Show(nullptr, false));
  const RECT label = ChildRect(Impl(alert)->Label());
  EXPECT_LE(label.right - label.left, 420);
  EXPECT_GT(label.right - label.left, 300);
  EXPECT_GE(label.bottom - label.top, 3 * (oneLine.bottom - oneLine.top));
}

TEST(ProgressWindow, UserCannotCloseIt) {
  Ref<IProgressAlert> alert = CreateProgressWindow("", nullptr, "");
  ASSERT_TRUE(alert->Show(nullptr, true));
  const HWND window = Impl(alert)->Window();
  SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);  // Alt+F4
  SendMessageA(window, WM_CLOSE, 0, 0);
  alert->ProcessMessages();
  EXPECT_TRUE(IsWindow(window));
  // Its system menu offers neither size nor minimise, maximise or restore.
  HMENU menu = GetSystemMenu(window, FALSE);
  for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE}) {
    EXPECT_EQ(GetMenuState(menu, command, MF_BYCOMMAND), static_cast<UINT>(-1)) << command;
  }
}

TEST(ProgressWindow, LastReferenceClosesTheWindow) {
  HWND window;
  {
    Ref<IProgressAlert> alert = CreateProgressWindow("", nullptr, "");
    ASSERT_TRUE(alert->Show(nullptr, false));
    window = Impl(alert)->Window();
    Ref<IProgressAlert> second = alert;  // shared: still open
    alert = nullptr;
    EXPECT_TRUE(IsWindow(window));
    IUnknown* unknown = nullptr;
    ASSERT_EQ(second->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    unknown->Release();
    // Identities as Windows reads them from their registry form.
    void* self = nullptr;
    ASSERT_EQ(second->QueryInterface(Guid(L"{45B8448C-47B8-4F1C-886E-95ED5FD41E5F}"), &self), S_OK);
    EXPECT_EQ(self, second.get());
    static_cast<IUnknown*>(self)->Release();
    void* bitmap = nullptr;
    EXPECT_EQ(second->QueryInterface(Guid(L"{3EE757B5-CC56-4610-A917-E8731737D5BE}"), &bitmap),
              E_NOINTERFACE);
    EXPECT_EQ(bitmap, nullptr);
  }
  EXPECT_FALSE(IsWindow(window));
}

TEST(ProgressWindow, ParentIsDisabledWhileShown) {
  HWND parent = CreateWindowExA(0, "STATIC", "parent", WS_OVERLAPPED | WS_VISIBLE, 10, 10, 200, 100,
                                nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(parent);
  Ref<IProgressAlert> alert = CreateProgressWindow("", nullptr, "");
  ASSERT_TRUE(alert->Show(parent, true));
  EXPECT_FALSE(IsWindowEnabled(parent));
  EXPECT_EQ(GetWindow(Impl(alert)->Window(), GW_OWNER), parent);
  alert->Close();
  EXPECT_TRUE(IsWindowEnabled(parent));
  DestroyWindow(parent);
}

TEST(ProgressWindow, DrivenFromASecondThread) {
  Ref<IProgressAlert> alert = CreateProgressWindow("Working", nullptr, "");
  alert->AddArea("Looking up the mail server", 100);
  alert->AddArea("Sending", 100);
  ASSERT_TRUE(alert->Show(nullptr, false));
  const HWND window = Impl(alert)->Window();
  std::atomic<int> phase{0};
  auto waitFor = [&phase](int p) {
    while (phase.load() != p) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  std::thread worker([&] {
    alert->SetPosition(500);   // posted: returns at once
    alert->ProcessMessages();  // not the window's thread: does nothing
    phase = 1;
    waitFor(2);
    alert->AreaDone();  // the label text waits for the window's thread
    phase = 3;
    waitFor(4);
    alert->Close();  // destroyed by the window's own thread
    phase = 5;
  });
  ASSERT_TRUE(PumpUntil([&] { return phase.load() == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return BarPosition(alert) == 250; })) << BarPosition(alert);
  phase = 2;
  ASSERT_TRUE(PumpUntil([&] { return phase.load() == 3; }));
  ASSERT_TRUE(PumpUntil([&] { return BarPosition(alert) == 500; })) << BarPosition(alert);
  EXPECT_EQ(WindowText(Impl(alert)->Label()), "Sending");
  phase = 4;
  ASSERT_TRUE(PumpUntil([&] { return phase.load() == 5; }));
  worker.join();
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(Impl(alert)->Window(), nullptr);
}

TEST(ProgressWindow, PictureIsBlendedOverTheButtonFace) {
  Ref<IProgressAlert> alert =
      CreateProgressWindow("Please wait", GetModuleHandleA(nullptr), "ZEIPLWAIT");
  alert->AddArea("Short", 1);
  ASSERT_TRUE(alert->Show(nullptr, true));
  const RECT label = ChildRect(Impl(alert)->Label());
  EXPECT_EQ(label.left, 51);
  EXPECT_GT(label.top, 12);  // a one-line text is centred on the picture
  RedrawWindow(Impl(alert)->Window(), nullptr, nullptr,
               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  test::PumpFor(200);

  HRSRC found = FindResourceA(nullptr, "ZEIPLWAIT", MAKEINTRESOURCEA(2));
  ASSERT_TRUE(found);
  ASSERT_EQ(SizeofResource(nullptr, found), AlphaPictureBytes(32));
  const auto* resource =
      static_cast<const std::uint8_t*>(LockResource(LoadResource(nullptr, found)));
  std::vector<std::uint8_t> expected(32 * 32 * 4);
  BlendPicture(resource + 40, 32 * 32, GetSysColor(COLOR_BTNFACE), expected.data());

  POINT origin = {9, 9};
  ClientToScreen(Impl(alert)->Window(), &origin);
  SetCursorPos(0, 0);
  Ref<INVBitmap> shot = CaptureScreen(false);
  ASSERT_TRUE(shot);
  const std::vector<std::uint8_t> bmp = shot->EncodeBmp();
  int mismatches = 0;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const std::uint8_t* e = &expected[((31 - y) * 32 + x) * 4];  // bottom-up like the resource
      const COLORREF got = test::BmpPixel(bmp, origin.x + x, origin.y + y);
      if (got != RGB(e[2], e[1], e[0])) ++mismatches;
    }
  EXPECT_EQ(mismatches, 0);

  Ref<IProgressAlert> missing =
      CreateProgressWindow("", GetModuleHandleA(nullptr), "NOSUCHPICTURE");
  ASSERT_TRUE(missing->Show(nullptr, false));
  EXPECT_EQ(ChildRect(Impl(missing)->Label()).left, 11);
}

}  // namespace
}  // namespace corvan::crash
