#include "crash/core/ExceptionPipeline.h"

#include <algorithm>
#include <mutex>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/Threads.h"
#include "crash/core/BugReportFileWin.h"
#include "crash/core/SaveReport.h"
#include "crash/core/CapturedException.h"
#include "crash/core/ExceptionHistory.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/FreezeWatchdog.h"
#include "crash/core/MemoryReserve.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReportFrontEnd.h"
#include "crash/core/ReporterFolder.h"
#include "crash/core/ThreadPause.h"
#include "crash/core/zelExcept.h"

namespace corvan::crash {
namespace {

// How long the program's end waits for its background sends.
constexpr DWORD kSendWaitMs = 10 * 1000;

std::recursive_mutex& HandlerMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

// Handlers with their synchronisation mode: 0 in the handling thread,
// 1 in the main thread, 2 in the main thread or, when it does not answer,
// in the handling thread.
struct ExceptionHandlerEntry {
  ExceptionHandlerFn fn;
  ReportPhase phase;
  int mode;
};
struct ActionHandlerEntry {
  ActionHandlerFn fn;
  int mode;
};
std::vector<ExceptionHandlerEntry> exceptionHandlers;
std::vector<ExceptionHandlerEntry> hiddenHandlers;
std::vector<ActionHandlerEntry> actionHandlers;
volatile bool mainThreadRunsHandlers = false;

std::mutex historyLock;
ExceptionHistory history;
volatile LONG handlingsPresenting = 0;

void DefaultProcessEnd(unsigned, bool restart) {
  if (restart) RestartProgram(CurrentHistory());
  TerminateProgram();
}
ProcessEnd processEnd = DefaultProcessEnd;

// One handling request. The faulting thread and the handling thread each
// hold a reference; whoever lets go last closes the event and frees it,
// so a main thread that leaves its wait early (on WM_QUIT) takes nothing
// away from the handling thread.
struct HandlingRequest {
  ExceptionFacts facts;
  HANDLE event = nullptr;
  DWORD callerThreadId = 0;
  volatile LONG references = 2;

  void Release() {
    if (InterlockedDecrement(&references) == 0) {
      CloseHandle(event);
      delete this;
    }
  }
};

class HandlingThread {
 public:
  bool Start() {
    if (thread_) return true;
    if (!CreatePipe(&read_, &write_, nullptr, 0)) return false;
    thread_ = CreateThread(nullptr, 0, Main, this, CREATE_SUSPENDED, &id_);
    if (!thread_) return false;
    SetThreadName(id_, "-");
    SetThreadPriority(thread_, THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread_);
    return true;
  }

  void Stop() {
    if (!thread_) return;
    ResumeThread(thread_);
    if (!IsLoaderLockHeld(0)) {
      HandlingRequest* stop = nullptr;
      DWORD written = 0;
      WriteFile(write_, &stop, sizeof stop, &written, nullptr);
    }
    CloseHandle(write_);
    if (!IsLoaderLockHeld(0) && WaitForSingleObject(thread_, 500) == WAIT_TIMEOUT)
      TerminateThread(thread_, 0);
    CloseHandle(thread_);
    CloseHandle(read_);
    RecordThreadInfo(id_, {});
    thread_ = read_ = write_ = nullptr;
    id_ = 0;
  }

  bool Post(HandlingRequest* request) {
    DWORD written = 0;
    return write_ && WriteFile(write_, &request, sizeof request, &written, nullptr) &&
           written == sizeof request;
  }

  DWORD Id() const { return id_; }
  bool Running() const { return thread_ != nullptr; }

 private:
  static DWORD WINAPI Main(void*) noexcept;

  HANDLE thread_ = nullptr, read_ = nullptr, write_ = nullptr;
  DWORD id_ = 0;
};

HandlingThread handlingThread;

// ---- Handlers --------------------------------------------------------------

enum class EventType { Exception = 0, Action = 1, Hidden = 2 };

struct FireParams {
  EventType type;
  ReportAction action;
  ExceptionReport* report;
  // The phase the event belongs to: completion may move the report on
  // while a main thread is awaited.
  ReportPhase phase;
  bool handled;
  bool callSynchronised = false;
  bool synchronisationFailed = false;
};

bool Selected(int mode, const FireParams& p) {
  if (p.synchronisationFailed) return mode == 2;
  return p.callSynchronised ? mode != 0 : mode == 0;
}

// Calls the handlers of the event that fit the thread it runs in, in
// registration order, until one handles the event. Hidden-exception
// handlers start with the flag set; one that clears it makes the exception
// go on like a normal one. Returns whether any handler ran.
bool RunHandlers(FireParams& p) {
  const bool onMain = GetCurrentThreadId() == MainThreadId();
  if (onMain) mainThreadRunsHandlers = true;
  bool ran = false;
  std::vector<ExceptionHandlerEntry> exceptionCalls;
  std::vector<ActionHandlerEntry> actionCalls;
  {
    HandlerLock lock;
    if (p.type == EventType::Action) {
      actionCalls = actionHandlers;
    } else {
      for (const auto& h : p.type == EventType::Hidden ? hiddenHandlers : exceptionHandlers) {
        if (p.type == EventType::Hidden || h.phase == p.phase) exceptionCalls.push_back(h);
      }
    }
  }
  const bool hidden = p.type == EventType::Hidden;
  for (const auto& h : exceptionCalls) {
    if ((p.handled && !hidden) || !Selected(h.mode, p)) continue;
    ran = true;
    try {
      h.fn(*p.report, p.handled);
    } catch (...) {
    }
  }
  for (const auto& h : actionCalls) {
    if (p.handled || !Selected(h.mode, p)) continue;
    ran = true;
    try {
      h.fn(p.action, *p.report, p.handled);
    } catch (...) {
    }
  }
  if (onMain) mainThreadRunsHandlers = false;
  return ran;
}

bool SynchronisedHandlersExist(const FireParams& p) {
  HandlerLock lock;
  if (p.type == EventType::Action) {
    return std::any_of(actionHandlers.begin(), actionHandlers.end(),
                       [](const auto& h) { return h.mode != 0; });
  }
  const auto& list = p.type == EventType::Hidden ? hiddenHandlers : exceptionHandlers;
  return std::any_of(list.begin(), list.end(), [&](const ExceptionHandlerEntry& h) {
    return h.mode != 0 && (p.type == EventType::Hidden || h.phase == p.phase);
  });
}

void RunHandlersInMainThread(LPARAM params) { RunHandlers(*reinterpret_cast<FireParams*>(params)); }

// Fires an event: handlers of the handling thread first, then those that
// belong in the main thread, which runs them while it waits in
// SubmitException (a main thread that does not answer in 1.5 s leaves
// them to the handling thread, mode 2 only).
bool Fire(EventType type, ExceptionReport& report, bool handled,
          ReportAction action = ReportAction::Continue) {
  FireParams p{type, action, &report, report.Phase(), handled};
  if (!report.CallHandlers()) return p.handled;
  const bool ran = RunHandlers(p);
  if ((!p.handled || !ran) && SynchronisedHandlersExist(p)) {
    p.callSynchronised = true;
    const bool frozen = report.Kind() == ExceptionKind::Snapshot;
    const bool resumed = !frozen && ResumeMainThreadForHandlers();
    const bool answered = !frozen && SendMainThreadHook(1, 0, 1500) &&
                          SendMainThreadHook(0, reinterpret_cast<LPARAM>(&p), 2147483646);
    if (resumed) PauseMainThreadAgain();
    if (!answered) {
      p.synchronisationFailed = true;
      RunHandlers(p);
    }
  }
  return p.handled;
}

bool FireExceptionHandlers(ExceptionReport& report, bool& handled, bool hidden) {
  handled = Fire(hidden ? EventType::Hidden : EventType::Exception, report, handled);
  return handled;
}

bool FireHandlers(ExceptionReport& report, ReportAction action) {
  return Fire(EventType::Action, report, false, action);
}

// Send, save and print asked for by the user run their assistant first: a
// cancelled one ends the action, a completed one fires it again as the
// assisted action.
bool FireAction(ExceptionReport& report, ReportAction action, HWND parent = nullptr) {
  if (FireHandlers(report, action)) return true;
  static const char* const assistantKeys[] = {"SendAssis", "SaveAssis", "PrintAssis"};
  const auto code = static_cast<std::size_t>(action);
  if (!parent || code >= std::size(assistantKeys)) return false;
  switch (Presenter().RunAssistant(report, report.GetStr(assistantKeys[code]), parent)) {
    case AssistantOutcome::Cancelled:
      return true;
    case AssistantOutcome::Completed:
      return FireHandlers(report, static_cast<ReportAction>(code + 3));
    default:
      return false;
  }
}

bool PhaseFourHandlersExist() {
  HandlerLock lock;
  return std::any_of(
      exceptionHandlers.begin(), exceptionHandlers.end(),
      [](const ExceptionHandlerEntry& h) { return h.phase == ReportPhase::Complete; });
}

// ---- Automatic actions -----------------------------------------------------

void AutoActions(bool complete, const std::string& text, ExceptionReport& report, void*) {
  if (!complete || !report.FirstComplete()) return;
  if (report.GetBool("AutoSend") && !FireAction(report, ReportAction::Send)) {
    Deliverer().Send(report, text, nullptr, true, true);
  }
  if (report.GetBool("AutoClip")) Presenter().PutOnClipboard(text);
}

void AutomaticSave(ExceptionReport& report) {
  if (!report.CreateBugReport() || !report.GetBool("AutoSave")) return;
  if (report.GetBool("AutoSaveIfNotSent") && report.Sent()) return;
  if (!report.FirstAutoSave()) return;
  if (FireAction(report, ReportAction::Save)) return;
  SaveReportToFile(report);
}

// Before the program ends (waitForSend) its sends are waited for, 10 s at
// most: a peer that stopped reading must not hold the program. A report
// not sent by then is kept for the next start.
void FinishActions(ExceptionReport& report, bool waitForSend) {
  if (report.HasCriticalListener() || (PhaseFourHandlersExist() && report.CallHandlers())) {
    report.ReportText(true);
  }
  AutomaticSave(report);
  if (waitForSend) report.WaitForSendThreads(kSendWaitMs);
  Deliverer().KeepUnsent(report);
}

std::int64_t NowSeconds() { return UtcSeconds(); }

void Handle(const ExceptionFacts& facts) noexcept {
  try {
    EmptyReporterTempFolder(false);
    Ref<ReporterSettings> settings =
        SettingsForAddress(reinterpret_cast<const void*>(facts.address));
    if (!settings) return;
    Ref<ExceptionReport> report = MakeRef<ExceptionReport>(*settings, facts);
    report->SetPhase(ReportPhase::Registered);
    bool handled = false;
    if (facts.kind == ExceptionKind::Hidden) {
      handled = true;
      FireExceptionHandlers(*report, handled, true);
    } else {
      std::lock_guard lock(historyLock);
      history.Add(NowSeconds());
    }
    if (!handled) {
      FireExceptionHandlers(*report, handled, false);
      report->SetPhase(ReportPhase::Started);
    }
    if (handled) return;
    // Paused threads are resumed however the handling ends, once the dump
    // that shows them is written.
    struct Resume {
      ExceptionReport& report;
      bool paused = false;
      ~Resume() {
        if (!paused) return;
        report.WaitForMiniDump();
        SetThreadsPaused(false, 0);
      }
    } resume{*report};
    if (facts.kind != ExceptionKind::Snapshot && report->PauseThreads() &&
        report->Module() == GetModuleHandleA(nullptr)) {
      SetThreadsPaused(true, report->CompletionThreadId());
      resume.paused = true;
    }
    // Before the box shows: the picture is of the program as it failed.
    if (report->CreateScreenshot()) report->Screenshot();
    if (report->CreateBugReport()) {
      // Written by the completion, after the box is up.
      if (report->GetBool("MiniDump")) report->RequestMiniDump();
      report->Header();
      report->Sections();
    }
    FireExceptionHandlers(*report, handled, false);
    report->SetPhase(ReportPhase::Presenting);
    struct Presenting {
      Presenting() { InterlockedIncrement(&handlingsPresenting); }
      ~Presenting() { InterlockedDecrement(&handlingsPresenting); }
    } presenting;
    if (!handled) FireExceptionHandlers(*report, handled, false);
    if (handled && report->CanContinue()) return;
    if (!handled) {
      if (report->GetBool("AutoSave") || report->GetBool("AutoSend") ||
          report->GetBool("AutoClip")) {
        report->AddListener(AutoActions, nullptr, true);
      }
      if (report->ShowSetting() != 4) Presenter().Present(*report);
    }
    // The box decided the outcome unless nothing was shown, the program
    // cannot go on, or it is a console program.
    if (report->ShowSetting() != 4 && report->CanContinue() && !IsConsoleProgram()) {
      if (!handled) FinishActions(*report, false);
      return;
    }
    ExceptionHistory seen;
    {
      std::lock_guard lock(historyLock);
      seen = history;
    }
    const std::int64_t now = NowSeconds();
    const bool close = CheckAutoRule(report->GetInt("AutoClose"), seen, now);
    const bool restart = CheckAutoRule(report->GetInt("AutoRestart"), seen, now);
    if (close || (!report->CanContinue() && !restart)) {
      FireAction(*report, ReportAction::Close);
      FinishActions(*report, true);
      processEnd(kCloseExitCode, false);
    } else if (restart) {
      FireAction(*report, ReportAction::Restart);
      FinishActions(*report, true);
      processEnd(kRestartExitCode, true);
    } else {
      FireAction(*report, ReportAction::Continue);
    }
    if (!handled) FinishActions(*report, false);
    ResetWatchdogMisses();  // the time spent here was no freeze
  } catch (...) {
    // The faulting thread is released in every case.
  }
}

DWORD WINAPI HandlingThread::Main(void* self) noexcept {
  auto* owner = static_cast<HandlingThread*>(self);
  Presenter().PrepareThread();
  for (;;) {
    HandlingRequest* request = nullptr;
    DWORD read = 0;
    if (!ReadFile(owner->read_, &request, sizeof request, &read, nullptr) ||
        read != sizeof request || !request) {
      return 0;
    }
    Handle(request->facts);
    SetEvent(request->event);
    PostThreadMessageA(request->callerThreadId, WM_NULL, 0, 0);
    request->Release();
  }
}

// The main thread keeps its windows alive while it waits; a quit request
// ends the wait early and is posted again so that the program still ends.
void WaitPumping(HANDLE event) {
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT);
    if (r != WAIT_OBJECT_0 + 1) return;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

std::uint32_t Word(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

HandlerLock::HandlerLock() { HandlerMutex().lock(); }
HandlerLock::~HandlerLock() { HandlerMutex().unlock(); }

ExceptionHistory CurrentHistory() {
  std::lock_guard lock(historyLock);
  return history;
}

void AdoptHistory(const ExceptionHistory& adopted) {
  std::lock_guard lock(historyLock);
  history = adopted;
}

int RecentExceptionCount() {
  const ExceptionHistory::Times times = CurrentHistory().Entries();
  return static_cast<int>(
      std::count_if(times.begin(), times.end(), [](std::int64_t t) { return t != 0; }));
}

bool HandlingPresents() { return handlingsPresenting > 0; }

bool StartHandlingThread() {
  InstallMainThreadHook(RunHandlersInMainThread);
  return handlingThread.Start();
}
void StopHandlingThread() {
  handlingThread.Stop();
  RemovePauseHooks();
}
bool InHandlingThread() { return handlingThread.Id() == GetCurrentThreadId(); }
DWORD HandlingThreadId() { return handlingThread.Id(); }

void SetProcessEnd(ProcessEnd end) { processEnd = end ? end : DefaultProcessEnd; }

bool FireReportAction(ExceptionReport& report, ReportAction action, HWND parent) {
  return FireAction(report, action, parent);
}

void FinishAutomaticActions(ExceptionReport& report, bool waitForSend) {
  FinishActions(report, waitForSend);
}

void EndProgram(bool restart) {
  processEnd(restart ? kRestartExitCode : kCloseExitCode, restart);
  TerminateProcess(GetCurrentProcess(), restart ? kRestartExitCode : kCloseExitCode);
  for (;;) Sleep(INFINITE);
}

void AddExceptionHandler(ExceptionHandlerFn handler, ReportPhase phase, int mode) {
  HandlerLock lock;
  exceptionHandlers.push_back({handler, phase, mode});
}
void AddHiddenExceptionHandler(ExceptionHandlerFn handler, int mode) {
  HandlerLock lock;
  hiddenHandlers.push_back({handler, ReportPhase::Created, mode});
}
void AddActionHandler(ActionHandlerFn handler, int mode) {
  HandlerLock lock;
  actionHandlers.push_back({handler, mode});
}
void ClearHandlers() {
  HandlerLock lock;
  exceptionHandlers.clear();
  hiddenHandlers.clear();
  actionHandlers.clear();
}
bool HiddenHandlersExist() {
  HandlerLock lock;
  return !hiddenHandlers.empty();
}

ExceptionFacts FactsOf(const std::exception_ptr& error, ExceptionSource source) {
  ExceptionFacts facts;
  facts.object = DescribeException(error);
  facts.source = source;
  const CapturedException& capture = ThreadCapture();
  if (error && capture.identity == facts.object.identity) {
    facts.address = capture.address;
    facts.hasContext = true;
    facts.context = capture.context;
    facts.record = capture.record;
    facts.stackBytes = capture.stackBytes;
    facts.prepared = capture.prepared;
    facts.external = capture.fault;
  } else {
    facts.address = Word(__builtin_return_address(0));
  }
  return facts;
}

void SubmitException(ExceptionFacts facts) {
  if (InHandlingThread() || !handlingThread.Running()) return;
  if (mainThreadRunsHandlers && GetCurrentThreadId() == MainThreadId()) return;
  ReleaseMemoryReserve();
  if (!facts.crashedThreadId) facts.crashedThreadId = GetCurrentThreadId();
  if (facts.object.DescendsFrom("EAbort")) {
    ClearThreadCapture();
    if (!facts.canContinue) processEnd(kCloseExitCode, false);
    AllocateMemoryReserve();
    return;
  }
  if (!facts.stackPointer) {
    facts.framePointer = Word(__builtin_frame_address(0));
    facts.stackPointer = facts.framePointer;
  }
  WatchdogPause noFreezeCheck;  // the main thread may wait here, pumping or not
  if (IsLoaderLockHeld(250)) {
    Handle(facts);
  } else {
    auto* request = new HandlingRequest{
        std::move(facts), CreateEventA(nullptr, TRUE, FALSE, nullptr), GetCurrentThreadId()};
    if (!request->event || !handlingThread.Post(request)) {
      Handle(request->facts);
      request->Release();
    } else if (GetCurrentThreadId() == MainThreadId()) {
      WaitPumping(request->event);
    } else {
      WaitForSingleObject(request->event, INFINITE);
    }
    request->Release();
  }
  ClearThreadCapture();
  AllocateMemoryReserve();
}

std::string BuildProcessReport(bool pleaseWaitBox) {
  ExceptionFacts facts;
  facts.kind = ExceptionKind::Snapshot;
  facts.source = ExceptionSource::Requested;
  facts.address = Word(__builtin_return_address(0));
  Ref<ReporterSettings> settings = SettingsForAddress(__builtin_return_address(0));
  if (!settings) return {};
  Ref<ExceptionReport> report = MakeRef<ExceptionReport>(*settings, facts);
  report->SetBool("PlWaitBox", pleaseWaitBox);
  report->SetBool("ListThreads", true);
  return report->ReportText(true);
}

void EndOfCatch() noexcept {
  thread_local bool busy = false;
  if (busy || InHandlingThread() || !HiddenHandlersExist()) return;
  busy = true;
  try {
    std::exception_ptr error = std::current_exception();
    if (error) {
      ExceptionFacts facts = FactsOf(error, ExceptionSource::HiddenException);
      facts.kind = ExceptionKind::Hidden;
      facts.hasContext = false;
      SubmitException(std::move(facts));
    }
  } catch (...) {
  }
  busy = false;
}

}  // namespace corvan::crash
