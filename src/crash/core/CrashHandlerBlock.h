#pragma once
// The block of shared memory between a program and its crash handler
// process. The program prepares it at start-up; at a fault it only writes
// the fault into it and signals, so nothing of the hand-over allocates,
// locks or loads. The handler reads the rest of the process from outside.
#include <windows.h>

#include <cstdint>

namespace corvan::crash {

// The switch that makes the program serve as the crash handler of another:
//   PROGRAM --crash-handler PROCESS BLOCK REQUEST DONE
// with the inherited handles in hex.
inline constexpr char kCrashHandlerSwitch[] = "--crash-handler";

// Why the in-process path was passed by.
enum class HandOverReason : std::uint32_t {
  HeapLock = 1,        // the faulting thread holds the process heap's lock
  LoaderLock = 2,      // the faulting thread holds the loader lock
  ReporterThread = 3,  // the fault is in one of the reporter's own threads
  SecondFault = 4,     // a fault arrived while another was being reported
  NotSaved = 5,        // in-process handling saved no report in time
};

struct CrashHandlerBlock {
  // Filled at start-up (and when the settings change).
  std::uint32_t mainThreadId;
  std::int32_t maxReports;  // unsent queue bounds; maxReports 0: keep none
  std::uint32_t maxBytes;
  std::int32_t sizeLimit;  // of the bug report file, 0: none
  std::uint32_t showBox;   // the handler tells the user
  char bugReportFile[MAX_PATH];
  char unsentFolder[MAX_PATH];
  // Filled at the fault by the thread that claimed the block.
  volatile LONG claimed;
  std::uint32_t threadId;
  HandOverReason reason;
  std::uint32_t exceptionPointers;  // the faulting thread's, in the program
  EXCEPTION_RECORD record;
  CONTEXT context;
};

}  // namespace corvan::crash
