// A fault in a program of 20 worker threads, timed until the exception box
// first paints, until its bug report is complete and saved (the box's
// continue button is pressed as soon as it shows), and until the
// please-wait window first paints. Prints "threads N", "dialog_paint_ms X",
// "report_ms X", "ms_per_thread X", "first_paint_ms X".
// With "handler" after the file: the same program faulting while it holds
// the heap's lock, reported by the crash handler process; prints
// "handler_report_ms X", from the fault until the report is on disk.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "crash/core/CrashHandlerClient.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/MiniDump.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/UnsentQueue.h"
#include "crash/handler/CrashHandler.h"
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
      if (wParam) HeapLock(GetProcessHeap());
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

std::string ReadyEventName(DWORD driverId) {
  return "corvan-bench-handler-" + std::to_string(driverId);
}

// Runs this program as the faulting child and times its report: from the
// child's signal just before the fault until the file has content.
int TimeHandlerReport(const std::string& reportFile) {
  DeleteFileA(reportFile.c_str());
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ReadyEventName(GetCurrentProcessId()).c_str());
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string command = "\"" + std::string(program) + "\" \"" + reportFile + "\" child " +
                        std::to_string(GetCurrentProcessId());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &child)) {
    return 1;
  }
  double ms = -1;
  if (WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0) {
    const LARGE_INTEGER from = Now();
    WIN32_FILE_ATTRIBUTE_DATA data{};
    for (int i = 0; i < 20000; ++i) {
      if (GetFileAttributesExA(reportFile.c_str(), GetFileExInfoStandard, &data) &&
          data.nFileSizeLow > 0) {
        ms = Milliseconds(from, Now());
        break;
      }
      Sleep(1);
    }
  }
  WaitForSingleObject(child.hProcess, 10000);
  for (int i = 0; i < 100; ++i, Sleep(50)) {
    if (HWND box = FindWindowA("#32770", "bench_report_fault.exe")) {
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      break;
    }
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(ready);
  corvan::crash::RemoveKeptReports(corvan::crash::UnsentQueueFolder());
  if (ms < 0) {
    std::printf("handler_report_ms none\n");
    return 1;
  }
  std::printf("handler_report_ms %.1f\n", ms);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  corvan::crash::ServeCrashHandler();
  const std::string reportFile = argc > 1 ? argv[1] : "report-bench.txt";
  const std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "handler") return TimeHandlerReport(reportFile);
  corvan::ui::Application().Initialize(GetModuleHandleA(nullptr));
  corvan::crash::CreateSettings(GetModuleHandleA(nullptr))->SetStr("BugRepFile", reportFile);
  corvan::crash::StartCrashHandler();
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
  if (mode == "child") {
    // The driver's clock starts here; the handler ends this process.
    HANDLE ready =
        OpenEventA(EVENT_MODIFY_STATE, FALSE, ReadyEventName(std::stoul(argv[3])).c_str());
    SetEvent(ready);
    SendMessageA(window.Handle(), kFaultMessage, 1, 0);
    return 1;
  }
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
