// A program of ours with the freeze watchdog on: freeze_child BLOCK_MS DIR.
// Its main thread answers messages for a while, then blocks for BLOCK_MS
// without answering, then answers again. Reports go to DIR\bugreport.txt,
// what the pipeline saw to DIR\seen.txt ("source kind canContinue"), and
// DIR\continued.txt is written when the program went on to its end.
#include <windows.h>

#include <cstdlib>
#include <fstream>
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
  Pump(700);
  FreezeMainThread(block);
  Pump(700);
  WriteFile("continued.txt", "yes");
  return 0;
}
