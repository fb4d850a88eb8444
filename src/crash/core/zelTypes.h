#pragma once
// The codes every part of the crash reporter shares: what kind of event a
// report is about, where it was intercepted, the phases of its handling
// and the actions taken on it. The numbers are stored in reports and
// handed to handlers, so they never change.
#include <cstdint>

namespace corvan::crash {

enum class ExceptionKind : std::uint8_t {
  Normal = 0,
  Snapshot = 1,  // frozen main thread, or a report asked for without an exception
  Hidden = 2,    // one the program caught itself
};

enum class ExceptionSource : std::uint8_t {
  Requested = 0,  // by the program or by zelTraceProcess
  Freeze = 1,
  RuntimeTermination = 2,  // the second language runtime's abnormal termination
  ConsoleShowException = 3,
  ShowException = 4,    // TApplication::ShowException
  HandleException = 5,  // an exception that left a message handler
  CgiHandler = 6,
  IsapiHandler = 7,
  IsapiEntry = 8,
  Synchronize = 10,       // a method a worker thread queued for the main thread
  TerminationError = 11,  // abort() and runtime errors at termination
  PackageInit = 12,
  LastChance = 13,       // std::terminate: no handler caught it
  SystemException = 14,  // a fault that could not become a C++ exception
  HiddenException = 15,
  ThreadFrame = 16,    // left a thread procedure or work item
  ThreadExecute = 17,  // left TThread::Run
};

enum class ReportPhase : std::uint8_t {
  Created = 0,
  Registered = 1,
  Started = 2,  // threads paused, screenshot and bug report started
  Presenting = 3,
  Complete = 4,  // bug report complete
};

enum class ReportAction : std::uint8_t {
  Send = 0,
  Save = 1,
  Print = 2,
  SendAssisted = 3,
  SaveAssisted = 4,
  PrintAssisted = 5,
  Show = 6,
  Help = 7,
  Continue = 8,
  Restart = 9,
  Close = 10,
};

// Exit codes of a program the reporter ends.
inline constexpr unsigned kCloseExitCode = 1;
inline constexpr unsigned kRestartExitCode = 2;

}  // namespace corvan::crash
