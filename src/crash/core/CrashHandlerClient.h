#pragma once
// The program's side of its crash handler process: starting it, and
// handing it a fault the in-process path cannot survive (the faulting
// thread holds the heap or loader lock, the fault is in the reporter's own
// work). The handler writes the report from outside and ends the program.
#include <windows.h>

#include "crash/core/CrashHandlerBlock.h"

namespace corvan::crash {

// This process was started as another's crash handler: the reporter stays
// off in it.
bool IsCrashHandlerProcess();
// What follows the switch on the command line; null when it is absent.
const char* CrashHandlerArguments();

// Starts the handler once (the program's own executable with the switch)
// and gives it the bug report file, the unsent queue and its bounds that
// the main settings name now; a later call only refreshes those. False when
// no handler runs; the in-process path then works alone.
bool StartCrashHandler();

// The lock the calling thread holds that in-process reporting needs (the
// process heap's, the loader lock), or false. Allocates nothing, takes no
// lock, loads nothing.
bool HoldsProcessLock(HandOverReason& reason);

// Hands the fault to the handler and waits until it has ended the process
// (with a limit). False when no handler runs or it could not finish: the
// caller goes on in-process. A second thread that arrives meanwhile waits
// for the first's hand-over to end the process. Allocates nothing, takes no
// lock, loads nothing.
bool HandOverToCrashHandler(const EXCEPTION_POINTERS* info, HandOverReason reason);

}  // namespace corvan::crash
