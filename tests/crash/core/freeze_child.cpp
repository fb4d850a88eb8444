// A program of ours with the freeze watchdog on: freeze_child BLOCK_MS DIR
// [worker]. Its main thread answers messages for a while, then blocks for
// BLOCK_MS without answering, then answers again. With "worker" it blocks
// instead until a worker thread's exception has been handled, which takes
// BLOCK_MS (as if its dialog stayed open that long). Reports go to DIR\bugreport.txt,
// what the pipeline saw to DIR\seen.txt ("source kind canContinue"), and
// DIR\continued.txt is written when the program went on to its end.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/ProcessSettings.h"

namespace {

using corvan::crash::ExceptionReport;

std::string folder;

void WriteFile(const std::string& name, const std::string& text) {
  std::ofstream(folder + "\\" + name, std::ios::binary | std::ios::app) << text << "\n";
}

void Seen(ExceptionReport& report, bool&) {
  WriteFile("seen.txt", std::to_string(static_cast<int>(report.Source())) + " " +
                            std::to_string(static_cast<int>(report.Kind())) + " " +
                            (report.CanContinue() ? "1" : "0"));
}

DWORD lingerMs = 0;

// Keeps a normal exception's handling going, as an open dialog would.
void Linger(ExceptionReport& report, bool&) {
  if (report.Kind() != corvan::crash::ExceptionKind::Snapshot) Sleep(lingerMs);
}

DWORD WINAPI Worker(void*) {
  try {
    throw std::runtime_error("worker failed");
  } catch (...) {
    corvan::crash::SubmitException(corvan::crash::FactsOf(
        std::current_exception(), corvan::crash::ExceptionSource::ThreadFrame));
  }
  return 0;
}

// Answers messages, as a responsive program does, for ms milliseconds.
void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  for (DWORD now = GetTickCount(); static_cast<LONG>(end - now) > 0; now = GetTickCount()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

}  // namespace

// The name the report's main thread section must show.
extern "C" __attribute__((noinline, noipa)) void FreezeMainThread(DWORD ms) {
  Sleep(ms);
  asm volatile("");  // keeps the call a call, not a tail jump
}

int main(int argc, char** argv) {
  if (argc < 3) return 3;
  const DWORD block = static_cast<DWORD>(std::atoi(argv[1]));
  folder = argv[2];
  corvan::crash::CreateSettings(GetModuleHandleA(nullptr))
      ->SetStr("BugRepFile", folder + "\\bugreport.txt");
  corvan::crash::AddExceptionHandler(Seen, corvan::crash::ReportPhase::Presenting);
  corvan::crash::AddExceptionHandler(Linger, corvan::crash::ReportPhase::Presenting);
  Pump(700);
  if (argc > 3 && std::string(argv[3]) == "worker") {
    lingerMs = block;
    HANDLE worker = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
  } else {
    FreezeMainThread(block);
  }
  Pump(700);
  WriteFile("continued.txt", "yes");
  return 0;
}
