// A fault in a program of 20 worker threads, timed until the exception box
// first paints, until its bug report is complete and saved (the box's
// continue button is pressed as soon as it shows), and until the
// please-wait window first paints. Prints "threads N", "dialog_paint_ms X",
// "report_ms X", "ms_per_thread X", "first_paint_ms X".
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "crash/core/ExceptionPipeline.h"
#include "crash/core/MiniDump.h"
#include "crash/core/ProcessSettings.h"
#include "ui/Application.h"
#include "ui/Thread.h"
#include "ui/Window.h"

namespace {

constexpr int kWorkers = 20;
constexpr UINT kFaultMessage = WM_APP + 1;
HANDLE stopWorkers = nullptr;
int* volatile nowhere = nullptr;

LARGE_INTEGER Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

// Each worker waits some frames deep, like a thread in real work.
__attribute__((noinline)) int Nest(int depth) {
  if (depth == 0) return static_cast<int>(WaitForSingleObject(stopWorkers, INFINITE));
  volatile int local = depth;
  return Nest(depth - 1) + local;
}

DWORD WINAPI Worker(void* depth) {
  return static_cast<DWORD>(Nest(static_cast<int>(reinterpret_cast<std::intptr_t>(depth))));
}

LARGE_INTEGER faultAt{}, paintedAt{}, boxPaintedAt{};
WNDPROC originalProc = nullptr, originalBoxProc = nullptr;
HWND box = nullptr;

LRESULT CALLBACK WatchBoxPaint(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT && !boxPaintedAt.QuadPart) {
    boxPaintedAt = Now();
    // The user continues at once; the report goes on in the background.
    if (HWND button = FindWindowExA(window, nullptr, "Button", "continue application")) {
      PostMessageA(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                   reinterpret_cast<LPARAM>(button));
    }
  }
  return CallWindowProcA(originalBoxProc, window, message, wParam, lParam);
}

// Finds the exception box as soon as it exists and notes its first paint.
DWORD WINAPI BoxWatcher(void*) {
  for (int i = 0; i < 60000; ++i) {
    if (HWND window = FindWindowA("zelExceptWndClass", nullptr)) {
      box = window;
      originalBoxProc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchBoxPaint)));
      return 0;
    }
    Sleep(1);
  }
  return 0;
}

LRESULT CALLBACK WatchPaint(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT && !paintedAt.QuadPart) paintedAt = Now();
  return CallWindowProcA(originalProc, window, message, wParam, lParam);
}

// Finds the please-wait window as soon as it exists and notes its first paint.
DWORD WINAPI PaintWatcher(void*) {
  for (int i = 0; i < 60000 && !paintedAt.QuadPart; ++i) {
    if (HWND window = FindWindowA("prgrAlertWndClass", nullptr)) {
      originalProc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchPaint)));
      return 0;
    }
    Sleep(1);
  }
  return 0;
}

class FaultWindow : public corvan::ui::TWindow {
 public:
  void Create() {
    CreateHandle("ReportBenchWindow", 0, nullptr, 0, "bench", WS_OVERLAPPED, 0, 0, 10, 10, nullptr);
  }

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == kFaultMessage) {
      faultAt = Now();
      return *nowhere;
    }
    return TWindow::WndProc(msg, wParam, lParam);
  }
};

// The best of three dumps of this process, with the exception of a fault
// on the calling thread; the file's size goes to bytes.
double BestMiniDumpMs(const std::string& folder, long long& bytes) {
  corvan::crash::ExceptionFacts facts;
  facts.hasContext = true;
  facts.context.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&facts.context);
  facts.record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  facts.record.ExceptionAddress = reinterpret_cast<void*>(facts.context.Eip);
  facts.crashedThreadId = GetCurrentThreadId();
  double best = -1;
  for (int run = 0; run < 3; ++run) {
    const std::string path = folder + "minidump-bench-" + std::to_string(run) + ".dmp";
    DeleteFileA(path.c_str());
    const LARGE_INTEGER from = Now();
    const std::string failure =
        corvan::crash::WriteMiniDumpFile(path, facts, corvan::crash::MiniDumpKind::Normal);
    const double ms = Milliseconds(from, Now());
    if (!failure.empty()) {
      std::printf("minidump %s\n", failure.c_str());
      return -1;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) bytes = data.nFileSizeLow;
    DeleteFileA(path.c_str());
    if (best < 0 || ms < best) best = ms;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string reportFile = argc > 1 ? argv[1] : "report-bench.txt";
  corvan::ui::Application().Initialize(GetModuleHandleA(nullptr));
  corvan::crash::CreateSettings(GetModuleHandleA(nullptr))->SetStr("BugRepFile", reportFile);
  stopWorkers = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.push_back(
        corvan::ui::StartThread(Worker, reinterpret_cast<void*>(static_cast<std::intptr_t>(10 + i)),
                                "worker " + std::to_string(i)));
  }
  Sleep(200);
  FaultWindow window;
  window.Create();
  HANDLE boxWatcher = CreateThread(nullptr, 0, BoxWatcher, nullptr, 0, nullptr);
  HANDLE watcher = CreateThread(nullptr, 0, PaintWatcher, nullptr, 0, nullptr);
  SendMessageA(window.Handle(), kFaultMessage, 0, 0);
  const LARGE_INTEGER doneAt = Now();
  WaitForSingleObject(watcher, 1000);
  WaitForSingleObject(boxWatcher, 1000);
  // The report completes in the background, its tracer suspending threads
  // one by one: dumps taken meanwhile would race with it (and a thread
  // suspended by both while holding the heap's lock would never resume).
  // Its last step saves the file.
  for (int i = 0; i < 500 && GetFileAttributesA(reportFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(20);
  long long dumpBytes = 0;
  const std::string folder = reportFile.substr(0, reportFile.find_last_of("\\/") + 1);
  const double dumpMs = BestMiniDumpMs(folder, dumpBytes);
  SetEvent(stopWorkers);
  WaitForMultipleObjects(static_cast<DWORD>(workers.size()), workers.data(), TRUE, INFINITE);
  const double total = Milliseconds(faultAt, doneAt);
  const int threads = kWorkers + 1;
  std::printf("threads %d\n", threads);
  if (boxPaintedAt.QuadPart)
    std::printf("dialog_paint_ms %.1f\n", Milliseconds(faultAt, boxPaintedAt));
  std::printf("report_ms %.1f\nms_per_thread %.2f\n", total, total / threads);
  if (paintedAt.QuadPart)
    std::printf("first_paint_ms %.1f\n", Milliseconds(faultAt, paintedAt));
  else
    std::printf("first_paint_ms none (completion ended before the window was needed)\n");
  if (dumpMs >= 0) std::printf("minidump_ms %.1f\nminidump_bytes %lld\n", dumpMs, dumpBytes);
  return 0;
}
