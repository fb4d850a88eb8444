#pragma once
// The block of shared memory between a program and its crash handler
// process. The program prepares it at start-up; at a fault it only writes
// the fault into it and signals, so nothing of the hand-over allocates,
// locks or loads. The handler reads the rest of the process from outside.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "crash/core/CrashHandlerProtocol.h"

namespace corvan::crash {

// Why the in-process path was passed by.
enum class HandOverReason : std::uint32_t {
  HeapLock = 1,           // the faulting thread holds the process heap's lock
  LoaderLock = 2,         // the faulting thread holds the loader lock
  ReporterThread = 3,     // the fault is in one of the reporter's own threads
  SecondFault = 4,        // a fault arrived while another was being reported
  NotSaved = 5,           // in-process handling saved no report in time
  HeapLockElsewhere = 6,  // another thread held the heap lock past the wait
};

struct CrashHandlerBlock {
  BlockHead head;  // checked by the handler before it reads anything else
  // Filled at start-up (and when the settings change).
  std::uint32_t mainThreadId;
  std::int32_t maxReports;  // unsent queue bounds; maxReports 0: keep none
  std::uint32_t maxBytes;
  std::int32_t sizeLimit;  // of the bug report file, 0: none
  std::uint32_t showBox;   // the handler tells the user
  std::uint32_t job;       // the program's handle to the job the handler runs in
  char bugReportFile[MAX_PATH];
  char unsentFolder[MAX_PATH];
  // Filled at a fault. The exception is the first fault's; later ones only
  // count in the slot.
  FaultSlot fault;
  HandOverReason reason;            // why the handler was asked
  std::uint32_t exceptionPointers;  // the first faulting thread's, in the program
  EXCEPTION_RECORD record;
  CONTEXT context;
};
// The layout both sides of one version read; a change raises kBlockVersion.
static_assert(sizeof(void*) != 4 ||
              (offsetof(CrashHandlerBlock, fault) == 556 && sizeof(CrashHandlerBlock) == 1376));

}  // namespace corvan::crash
