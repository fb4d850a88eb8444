#pragma once
// The exception handling pipeline: every interception point hands what it
// knows to SubmitException; a dedicated thread of the highest priority
// builds the report, applies the class filters, fires the handlers phase
// by phase and carries out the automatic actions, while the faulting
// thread waits (the main thread keeps pumping its messages).
#include <windows.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

#include "crash/core/ExceptionDescription.h"
#include "crash/core/ExceptionHistory.h"
#include "crash/util/RefCounted.h"
#include "crash/core/ThreadPause.h"
#include "crash/core/ThreadTracer.h"
#include "crash/core/zelTypes.h"

namespace corvan::crash {

class ExceptionReport;
class ReporterSettings;

// One exception as an interception point saw it. Everything is held by
// value: the faulting thread may leave before the handling ends.
struct ExceptionFacts {
  ExceptionKind kind = ExceptionKind::Normal;
  ExceptionDescription object;
  bool external = false;  // a processor fault
  std::uint32_t address = 0;
  ExceptionSource source = ExceptionSource::Requested;
  const void* relatedObject = nullptr;
  const void* package = nullptr;
  bool hasContext = false;
  CONTEXT context{};
  // The system's record of a processor fault (ExceptionCode 0 for a C++
  // throw or a runtime end); ExceptionRecord is never followed.
  EXCEPTION_RECORD record{};
  std::vector<std::uint8_t> stackBytes;  // from context.Esp, taken before unwinding
  PreparedStack prepared;
  std::uint32_t framePointer = 0, stackPointer = 0;
  bool canContinue = true;
  DWORD crashedThreadId = 0;  // 0: the calling thread
};

// The facts of a caught exception: its description, and the throw site or
// fault context captured for it when the thread's capture belongs to it.
ExceptionFacts FactsOf(const std::exception_ptr& error, ExceptionSource source);

// Returns when the exception has been handled (at once in the handling
// thread itself). May end the process (close or restart).
void SubmitException(ExceptionFacts facts);

// Start-up and shutdown of the handling thread.
// A handling has its report and presents it (or acts on it): a faulting
// thread waiting for its handling then waits for the user, not a hang.
bool HandlingPresents();

bool StartHandlingThread();
void StopHandlingThread();
bool InHandlingThread();
DWORD HandlingThreadId();

// The lock of the handler lists and of every report's listener list.
class HandlerLock {
 public:
  HandlerLock();
  ~HandlerLock();
  HandlerLock(const HandlerLock&) = delete;
  HandlerLock& operator=(const HandlerLock&) = delete;
};

// The exceptions of this process (and of those it was restarted from).
ExceptionHistory CurrentHistory();
void AdoptHistory(const ExceptionHistory& history);
int RecentExceptionCount();

// A report of the whole process without an exception (kind 1, source 0),
// complete; settings of the calling module. The calling thread is left
// out when it is registered as "-".
std::string BuildProcessReport(bool pleaseWaitBox);

// Handlers (this program registers none; the lists are consulted).
using ExceptionHandlerFn = void (*)(ExceptionReport& report, bool& handled);
using ActionHandlerFn = void (*)(ReportAction action, ExceptionReport& report, bool& handled);
// mode: 0 called in the handling thread, 1 in the main thread, 2 in the
// main thread or, when it does not answer within 1.5 s, in the handling
// thread.
void AddExceptionHandler(ExceptionHandlerFn handler, ReportPhase phase, int mode = 0);
void AddHiddenExceptionHandler(ExceptionHandlerFn handler, int mode = 0);
void AddActionHandler(ActionHandlerFn handler, int mode = 0);
void ClearHandlers();
bool HiddenHandlersExist();

// Fires the application's action handlers for report; true when one
// handled the action. parent: the window anything they show belongs to.
bool FireReportAction(ExceptionReport& report, ReportAction action, HWND parent);
// The pending automatic actions (save, send) before the program goes on or
// ends; waitForSend (before it ends) waits for the report's background
// sends. A report that has not gone out by then is kept for a later send.
void FinishAutomaticActions(ExceptionReport& report, bool waitForSend);
// Closes (exit code 1) or restarts (exit code 2) the program.
[[noreturn]] void EndProgram(bool restart);

// What ends a handled exception (the runtime's end of a catch).
void EndOfCatch() noexcept;

// Replaces the end of the process (close, restart), for tests.
using ProcessEnd = void (*)(unsigned exitCode, bool restart);
void SetProcessEnd(ProcessEnd end);

}  // namespace corvan::crash
