#pragma once
// What the pipeline asks of the layers above it, which core does not
// include: the screenshot object and the progress window (interfaces with
// their identities), and a presenter and a deliverer that the reporter's
// start-up registers. Until they are registered (a test of the pipeline, a
// program without the reporter's windows) every request answers "nothing
// done": no box, no assistant, no screenshot, nothing sent or kept.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/util/UnknownRefCounted.h"

namespace corvan::crash {

class ExceptionReport;

struct INVBitmap : IUnknown {
  static constexpr InterfaceId kIid = {
      0x3EE757B5, 0xCC56, 0x4610, {0xA9, 0x17, 0xE8, 0x73, 0x17, 0x37, 0xD5, 0xBE}};

  virtual int GetWidth() = 0;
  virtual int GetHeight() = 0;
  // BitBlt of the whole bitmap to dc at (x, y).
  virtual bool Paint(HDC dc, int x, int y) = 0;
  // A 32-bit BMP file.
  virtual std::vector<std::uint8_t> EncodeBmp() = 0;
  // A PNG file in the given mode (see ScreenshotPng.h), or empty. The grey
  // variant turns the bitmap itself grey.
  virtual std::vector<std::uint8_t> EncodePng(int mode) = 0;
  // Write the encoding in one write; on failure no file is left and false
  // returned. WritePng creates no file when the encoding is empty.
  virtual bool WriteBmp(const std::string& path) = 0;
  virtual bool WritePng(const std::string& path, int mode) = 0;
  // A new bitmap scaled (Mitchell filter) to fit maxWidth x maxHeight with
  // the aspect ratio kept; null when it cannot be created.
  virtual Ref<INVBitmap> Resize(int maxWidth, int maxHeight) = 0;
};

struct IProgressAlert : IUnknown {
  static constexpr InterfaceId kIid = {
      0x45B8448C, 0x47B8, 0x4F1C, {0x88, 0x6E, 0x95, 0xED, 0x5F, 0xD4, 0x1E, 0x5F}};

  virtual std::string Title() = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual int Position() = 0;
  // Per mille within the current area (0 to 1000).
  virtual void SetPosition(int position) = 0;
  // An empty text takes the text of the area before.
  virtual void AddArea(const std::string& text, std::uint64_t weight) = 0;
  virtual void ClearAreas() = 0;
  virtual void AreaDone() = 0;
  virtual int CurrentArea() = 0;
  virtual void SetCurrentArea(int area) = 0;
  // On the window's thread: dispatches every queued message of the thread.
  virtual void ProcessMessages() = 0;
  // Creates and shows the window on the calling thread, disabling parent
  // while it is shown; false when it is shown already.
  virtual bool Show(HWND parent, bool activate) = 0;
  // Destroys the window (from any thread) and enables the parent again.
  virtual void Close() = 0;
};

enum class AssistantOutcome { NoAssistant, Completed, Cancelled };

// The windows of a report.
class ReportPresenter {
 public:
  // The exception box (or the console form) over the report; returns when
  // the user is done. Restart and close do not return.
  virtual void Present(ExceptionReport& report) = 0;
  // Shows the named assistant over parent. Completed: the values of the
  // continued forms are in the report.
  virtual AssistantOutcome RunAssistant(ExceptionReport& report, const std::string& name,
                                        HWND parent) = 0;
  // The screen, or with appOnly this program's windows; null when nothing
  // can be captured.
  virtual Ref<INVBitmap> CaptureScreen(bool appOnly) = 0;
  // A progress window, not shown yet; null when there is none.
  virtual Ref<IProgressAlert> CreateProgressWindow(const std::string& title, HMODULE pictureModule,
                                                   const std::string& pictureName) = 0;
  virtual bool PutOnClipboard(const std::string& text) = 0;
  // Readies the calling thread for showing a report fast when a fault
  // comes; never shows anything.
  virtual void PrepareThread() noexcept = 0;

 protected:
  ~ReportPresenter() = default;
};

// Sending a report and keeping one that did not go out.
class ReportDeliverer {
 public:
  // The report's text (complete) with its screenshot, if any. A background
  // send's thread is handed to the report, which owns it.
  virtual void Send(ExceptionReport& report, const std::string& text, HWND parent, bool hidden,
                    bool background) = 0;
  // Keeps the report with its attachments for a later send, unless it went
  // out, is kept already or its settings keep none.
  virtual void KeepUnsent(ExceptionReport& report) = 0;

 protected:
  ~ReportDeliverer() = default;
};

// Registered by the reporter's start-up for the life of the process (not
// owned); null puts back the one that does nothing.
void RegisterReportPresenter(ReportPresenter* presenter);
void RegisterReportDeliverer(ReportDeliverer* deliverer);
ReportPresenter& Presenter();
ReportDeliverer& Deliverer();

}  // namespace corvan::crash
