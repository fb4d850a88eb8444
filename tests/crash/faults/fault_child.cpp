// A program of ours that crashes on purpose: fault_child FAULT PLACE DIR.
// It carries the reporter with corvan.exe's settings, writes its bug
// report to DIR\bugreport.txt and, through an exception handler, what the
// pipeline saw to DIR\seen.txt ("source canContinue thread"). When the
// program goes on after the fault it writes DIR\continued.txt and ends
// with exit code 0; the reporter (or its crash handler process) ends it
// with 1.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "crash/core/ExceptionClasses.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/CrashHandlerClient.h"
#include "crash/core/ProcessSettings.h"
#include "crash/handler/CrashHandler.h"
#include "ui/Application.h"
#include "ui/Thread.h"
#include "ui/Window.h"

// Outside the anonymous namespace: other units could derive from Shape, so
// the compiler cannot resolve the call at compile time.
struct Shape;
__attribute__((noipa)) int CallArea(Shape* shape);

struct Shape {
  Shape() { CallArea(this); }  // during construction: Shape's own table, a pure slot
  virtual ~Shape() = default;
  virtual int Area() = 0;
};

__attribute__((noipa)) int CallArea(Shape* shape) { return shape->Area(); }
namespace {

using corvan::crash::ExceptionReport;

std::string folder;
std::string fault;
volatile int zero = 0;
int* volatile nowhere = nullptr;

class EFaultChildError : public corvan::crash::ZelException {
 public:
  using ZelException::ZelException;
};

struct Square : Shape {
  int Area() override { return 4; }
};

volatile int depthLimit = 1 << 30;  // never reached: the stack ends first

// Each frame stays below a page, so the compiler calls no stack probe
// routine (library code without unwind tables): the overflow faults in
// Recurse itself, whose frames a stack walker unwinds by their tables.
__attribute__((noinline)) int Recurse(int depth) {
  volatile char pad[2048];
  pad[0] = static_cast<char>(depth);
  if (depth > depthLimit) return 0;
  return Recurse(depth + 1) + pad[0];
}

// The faults themselves; each line that faults is what the report names.
__attribute__((noinline)) void Fault() {
  if (fault == "read") {
    std::printf("%d", *nowhere);
  } else if (fault == "write") {
    *nowhere = 1;
  } else if (fault == "exec") {
    auto function = reinterpret_cast<void (*)()>(0x10);
    function();
  } else if (fault == "div0") {
    std::printf("%d", 10 / zero);
  } else if (fault == "stdthrow") {
    throw std::runtime_error("standard exception thrown on purpose");
  } else if (fault == "ownthrow") {
    throw EFaultChildError("our own exception thrown on purpose");
  } else if (fault == "overflow") {
    Recurse(0);
  } else if (fault == "abort") {
    std::abort();
  } else if (fault == "terminate") {
    std::terminate();
  } else if (fault == "purevirtual") {
    Square square;
  } else if (fault == "heaplock") {
    // A fault inside heap code: the faulting thread holds the heap's lock.
    HeapLock(GetProcessHeap());
    *nowhere = 1;
  } else if (fault == "loaderlock") {
    // A fault inside a DllMain: the faulting thread holds the loader lock.
    using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
    ULONG_PTR cookie = 0;
    reinterpret_cast<LockFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrLockLoaderLock")))(0, nullptr, &cookie);
    *nowhere = 1;
  } else if (fault == "heap") {
    // The links of a free block overwritten: the heap follows them.
    HANDLE heap = HeapCreate(0, 0, 0);
    auto* block = static_cast<char*>(HeapAlloc(heap, 0, 64));
    HeapAlloc(heap, 0, 64);
    HeapFree(heap, 0, block);
    std::memset(block, 0x41, 16);
    HeapAlloc(heap, 0, 64);
    HeapAlloc(heap, 0, 64);
  }
}

// Every place reaches Fault through a frame without a frame pointer (its
// caller's stays in EBP): only the unwind tables lead past it, to the
// place, as a stack walker with the program's symbols must show.
__attribute__((noinline, optimize("omit-frame-pointer"))) void FaultBelowNoFramePointer() {
  volatile int calls = 1;  // a frame of its own, with a call that is no tail call
  Fault();
  calls = calls + 1;
}

void WriteFile(const std::string& name, const std::string& text) {
  std::ofstream(folder + "\\" + name, std::ios::binary | std::ios::app) << text << "\n";
}

void Seen(ExceptionReport& report, bool&) {
  WriteFile("seen.txt", std::to_string(static_cast<int>(report.Source())) + " " +
                            (report.CanContinue() ? "1 " : "0 ") +
                            std::to_string(report.CrashedThreadId()));
}

constexpr UINT kFaultMessage = WM_APP + 7;

class FaultWindow : public corvan::ui::TWindow {
 public:
  void Create() {
    CreateHandle("FaultChildWindow", 0, nullptr, 0, "fault child", WS_OVERLAPPED, 0, 0, 100, 100,
                 nullptr);
  }

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == kFaultMessage) {
      FaultBelowNoFramePointer();
      return 0;
    }
    return TWindow::WndProc(msg, wParam, lParam);
  }
};

DWORD WINAPI FaultProc(void*) {
  FaultBelowNoFramePointer();
  return 0;
}

class SyncThread : public corvan::ui::TThread {
 public:
  SyncThread() : TThread("synchronising worker") {}

 protected:
  void Run() override {
    Synchronize([] { FaultBelowNoFramePointer(); });
  }
};

// Ends this program's crash handler (the child of ours running our file).
void EndCrashHandler() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ParentProcessID != GetCurrentProcessId()) continue;
    if (HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
      TerminateProcess(child, 9);
      WaitForSingleObject(child, 5000);
      CloseHandle(child);
    }
  }
  CloseHandle(snapshot);
}

DWORD WINAPI Idle(void* stop) {
  WaitForSingleObject(stop, INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  corvan::crash::ServeCrashHandler();
  if (argc < 4) return 2;
  fault = argv[1];
  const std::string place = argv[2];
  folder = argv[3];
  auto& app = corvan::ui::Application();
  app.Initialize(GetModuleHandleA(nullptr));
  corvan::crash::CreateSettings(GetModuleHandleA(nullptr))
      ->SetStr("BugRepFile", folder + "\\bugreport.txt");
  corvan::crash::StartCrashHandler();
  corvan::crash::AddExceptionHandler(Seen, corvan::crash::ReportPhase::Registered);

  // A named idle thread that every report must list.
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE idle = corvan::ui::StartThread(Idle, stop, "idle worker");

  FaultWindow window;
  window.Create();
  if (place == "handler") {
    SendMessageA(window.Handle(), kFaultMessage, 0, 0);
  } else if (place == "nohandler") {
    EndCrashHandler();
    SendMessageA(window.Handle(), kFaultMessage, 0, 0);
  } else if (place == "thread") {
    HANDLE worker = corvan::ui::StartThread(FaultProc, nullptr, "faulting worker");
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
  } else if (place == "workitem") {
    corvan::ui::QueueWorkItem(FaultProc, nullptr);
    // The report is saved as the last step of its handling.
    const std::string report = folder + "\\bugreport.txt";
    for (int i = 0; i < 500 && GetFileAttributesA(report.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
      Sleep(20);
    Sleep(300);
  } else if (place == "sync") {
    SyncThread thread;
    thread.Start();
    while (WaitForSingleObject(thread.Handle(), 0) == WAIT_TIMEOUT) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      app.ProcessMessages();
    }
  }
  SetEvent(stop);
  WaitForSingleObject(idle, INFINITE);
  WriteFile("continued.txt", "yes");
  return 0;
}
