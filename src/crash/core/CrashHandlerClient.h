#pragma once
// The program's side of its crash handler process: starting it, and
// handing it a fault the in-process path cannot survive (the faulting
// thread holds the heap or loader lock, the fault is in the reporter's own
// work, in-process handling did not get through in time). The handler
// writes the report of the first fault from outside and ends the program.
#include <windows.h>

#include <optional>

#include "crash/core/CrashHandlerBlock.h"

namespace corvan::crash {

// The handler's limit on one report: past it, it lets the program's
// threads go again and ends, and the program goes on without it.
inline constexpr DWORD kHandlerReportLimitMs = 20000;

// This process was started as another's crash handler (the switch as its
// first argument with its handles): the reporter stays off in it.
bool IsCrashHandlerProcess();
// The handles on this process's command line, when it is a handler.
std::optional<HandlerHandles> CrashHandlerHandles();

// Starts the handler once (the program's own executable with the switch)
// and gives it the bug report file, the unsent queue and its bounds that
// the main settings name now; a later call only refreshes those. False when
// no handler runs; the in-process path then works alone.
bool StartCrashHandler();

// The lock the calling thread holds that in-process reporting needs (the
// process heap's, the loader lock), or false. Allocates nothing, takes no
// lock, loads nothing.
bool HoldsProcessLock(HandOverReason& reason);
// Another thread holds the heap lock and has not let go within waitMs:
// in-process reporting would wait for it for ever.
bool HeapLockHeldElsewhere(DWORD waitMs);

// Records a fault the in-process path takes on as the first one, unless
// one is already recorded (then it is counted): a later hand-over reports
// it, not the later fault.
void NoteFirstFault(const EXCEPTION_POINTERS* info);

// Hands the first fault to the handler and waits until it has ended the
// process (with a limit). False when no handler runs or it did not finish:
// the caller goes on without it. A second thread that arrives meanwhile is
// counted and waits for the first's hand-over to end the process.
// Allocates nothing, takes no lock, loads nothing.
bool HandOverToCrashHandler(const EXCEPTION_POINTERS* info, HandOverReason reason);

// Ends the program at once with kEndedUnreported: for a fault that neither
// the handler nor the program can report without waiting for ever.
[[noreturn]] void EndUnreported();

}  // namespace corvan::crash
