#pragma once
// The crash handler process. A program that carries the reporter starts
// its own executable once more with a switch; that process waits, cheap
// and idle, until the program ends (then it ends too) or hands it a fault
// its in-process reporting cannot survive. It then reports the fault from
// outside: suspends the program, writes the minidump and a report with the
// stack of every thread, appends the report to the bug report file, keeps
// it in the unsent queue, ends the program (kEndedByCrashHandler) and
// tells the user in a short message box. A guard with a limit lets the
// program go again when the handler itself hangs or faults.
namespace corvan::crash {

// First thing in a program's main: in the handler process, serves as the
// handler and ends the process; in the program, starts its handler (see
// StartCrashHandler, which a program whose settings change later calls
// again).
void ServeCrashHandler();

}  // namespace corvan::crash
