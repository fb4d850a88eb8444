#pragma once
// The progress window: a small always-on-top tool window with an optional
// 32 x 32 picture, the current area's text and a bar of the weighted overall
// progress. Any thread may drive it; the window lives on the thread that
// showed it, which must keep pumping messages.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "crash/ui/ProgressAreas.h"
#include "crash/core/ReportFrontEnd.h"
#include "crash/util/UnknownRefCounted.h"
#include "common/WinHandles.h"

namespace corvan::crash {

// Nothing is shown until Show. The picture is a bitmap resource of module
// in the 32 x 32 alpha format of AlphaPicture.h; without it no picture
// area is reserved.
Ref<IProgressAlert> CreateProgressWindow(const std::string& title, HMODULE pictureModule,
                                         const std::string& pictureName);

class TIProgressAlert final : public TUnknownRefCounted<IProgressAlert> {
 public:
  TIProgressAlert(std::string title, HMODULE pictureModule, std::string pictureName);

  std::string Title() override;
  void SetTitle(const std::string& title) override;
  int Position() override;
  void SetPosition(int position) override;
  void AddArea(const std::string& text, std::uint64_t weight) override;
  void ClearAreas() override;
  void AreaDone() override;
  int CurrentArea() override;
  void SetCurrentArea(int area) override;
  void ProcessMessages() override;
  bool Show(HWND parent, bool activate) override;
  void Close() override;

  // The window handles, for tests and callers that position other windows.
  HWND Window();
  HWND Label();
  HWND Bar();

 private:
  ~TIProgressAlert() override;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
  void DrawPicture(HDC dc);
  // Sets the bar to the overall progress: sent on the window's thread,
  // posted from others.
  void UpdateBar();
  bool OnWindowThread();
  void EnsureFont();
  SIZE MeasureTexts();

  std::mutex lock_;  // guards everything below but the GDI objects
  HWND parent_ = nullptr;
  std::string title_;
  ScopedDc measureDc_;
  ScopedFont font_;
  HGDIOBJ previousFont_ = nullptr;
  HWND window_ = nullptr;
  HWND picture_ = nullptr;
  HWND label_ = nullptr;
  HWND bar_ = nullptr;
  DWORD windowThread_ = 0;
  ProgressAreas areas_;
  HMODULE pictureModule_;
  std::string pictureName_;
};

}  // namespace corvan::crash
