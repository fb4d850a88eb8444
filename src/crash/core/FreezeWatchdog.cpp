#include "crash/core/FreezeWatchdog.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "common/WinHandles.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/MessageHandlers.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/Threads.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/FreezeCounter.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

class Watchdog {
 public:
  explicit Watchdog(std::int32_t freezeTimeoutMs) : counter_(freezeTimeoutMs) {}

  bool Start() {
    // Named, so that every module carrying the reporter finds the same one.
    mutex_.reset(CreateOwnMutex("zelExceptWatchdogMtx" + HexText(GetCurrentProcessId())));
    // Signalled while running: the pause event lives as long as the
    // watchdog, so the thread never waits on a handle closed meanwhile.
    running_.reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!mutex_ || !running_ || !stop_) return false;
    ping_ = AddMessageHandler(Ping, 0, 0, this, nullptr);
    if (!ping_) return false;
    window_ = MessageHandlerWindow(0);
    thread_.reset(CreateThread(nullptr, 0, Main, this, CREATE_SUSPENDED, &threadId_));
    if (!thread_) {
      RemoveMessageHandler(Ping, ping_, 0, this, nullptr);
      return false;
    }
    SetThreadName(threadId_, "-");
    SetThreadPriority(thread_.get(), THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread_.get());
    return true;
  }

  void Stop() {
    if (thread_) {
      SetEvent(stop_.get());
      SetEvent(running_.get());
      const bool mayWait = !IsLoaderLockHeld(0);
      if (!mayWait || WaitForSingleObject(thread_.get(), 500) != WAIT_OBJECT_0) {
        // A thread on its way out may hold the loader lock: terminating it
        // there would leave the lock taken for good. Only a thread still in
        // its loop (waiting for a report to be handled) is terminated.
        if (!leaving_)
          TerminateThread(thread_.get(), 0);
        else if (mayWait)
          WaitForSingleObject(thread_.get(), INFINITE);
      }
      RecordThreadInfo(threadId_, {});
    }
    if (ping_) RemoveMessageHandler(Ping, ping_, 0, this, nullptr);
  }

  void Pause(bool pause) {
    if (GetCurrentThreadId() == threadId_) return;
    counter_.ResetMisses();
    std::lock_guard guard(pauseLock_);
    if (pause) {
      if (++pauses_ == 0) ResetEvent(running_.get());
    } else if (pauses_ >= 0) {
      if (--pauses_ < 0) SetEvent(running_.get());
    }
  }

  void ResetMisses() { counter_.ResetMisses(); }
  DWORD ThreadId() const { return threadId_; }
  UINT PingMessage() const { return ping_; }
  HWND Window() const { return window_; }

 private:
  static void Ping(void* self, void*, HWND, UINT, WPARAM wParam, LPARAM, LRESULT& result) {
    const auto* watchdog = static_cast<Watchdog*>(self);
    const HWND asker = reinterpret_cast<HWND>(wParam);
    if (asker && IsWindow(asker))
      PostMessageA(asker, WM_NULL, kPingAnswer, kPingAnswer);
    else
      PostThreadMessageA(watchdog->threadId_, WM_NULL, kPingAnswer, kPingAnswer);
    result = kPingAnswer;
  }

  // True when an answer of the main thread was among the messages.
  static bool EmptyQueue() {
    bool answered = false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      answered = answered || (!msg.hwnd && msg.message == WM_NULL && msg.wParam == kPingAnswer &&
                              msg.lParam == static_cast<LPARAM>(kPingAnswer));
    }
    return answered;
  }

  bool Stopping() const { return WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0; }

  static DWORD WINAPI Main(void* self) noexcept {
    try {
      static_cast<Watchdog*>(self)->Run();
    } catch (...) {
    }
    return 0;
  }

  void Run() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue the answers go to
    const HANDLE startOrStop[] = {mutex_.get(), stop_.get()};
    const DWORD got = WaitForMultipleObjects(2, startOrStop, FALSE, INFINITE);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED_0) return;
    while (!Stopping()) {
      WaitForSingleObject(running_.get(), INFINITE);
      if (Stopping()) break;
      PostMessageA(window_, ping_, 0, 0);
      if (WaitForSingleObject(stop_.get(), counter_.IntervalMs()) == WAIT_OBJECT_0) break;
      if (EmptyQueue()) {
        counter_.Answered();
      } else if (counter_.Missed()) {
        ReportFreeze();
        counter_.Reported();
      }
    }
    leaving_ = true;
    ReleaseMutex(mutex_.get());
  }

  static void ReportFreeze() {
    ExceptionFacts facts;
    facts.kind = ExceptionKind::Snapshot;
    facts.source = ExceptionSource::Freeze;
    facts.canContinue = true;
    SubmitException(std::move(facts));
  }

  FreezeCounter counter_;
  ScopedHandle mutex_, running_, stop_, thread_;
  DWORD threadId_ = 0;
  UINT ping_ = 0;
  HWND window_ = nullptr;
  std::mutex pauseLock_;
  int pauses_ = -1;
  std::atomic<bool> leaving_{false};
};

// Process-wide: started and stopped with the reporter, on the main thread.
// The reporter stops after every other static object is destroyed, so the
// holder is never destroyed itself: a static unique_ptr would be gone (and
// the thread left running) by the time the reporter stops it.
std::unique_ptr<Watchdog>& TheWatchdog() {
  static auto* holder = new std::unique_ptr<Watchdog>;
  return *holder;
}

}  // namespace

bool StartWatchdog(std::int32_t freezeTimeoutMs) {
  if (TheWatchdog()) return true;
  auto created = std::make_unique<Watchdog>(freezeTimeoutMs);
  if (!created->Start()) {
    created->Stop();
    return false;
  }
  TheWatchdog() = std::move(created);
  return true;
}

void StopWatchdog() {
  if (!TheWatchdog()) return;
  TheWatchdog()->Stop();
  TheWatchdog().reset();
}

bool WatchdogRunning() { return TheWatchdog() != nullptr; }

void PauseWatchdog(bool pause) {
  if (TheWatchdog()) TheWatchdog()->Pause(pause);
}

void ResetWatchdogMisses() {
  if (TheWatchdog()) TheWatchdog()->ResetMisses();
}

DWORD WatchdogThreadId() { return TheWatchdog() ? TheWatchdog()->ThreadId() : 0; }
UINT WatchdogPingMessage() { return TheWatchdog() ? TheWatchdog()->PingMessage() : 0; }
HWND WatchdogWindow() { return TheWatchdog() ? TheWatchdog()->Window() : nullptr; }

}  // namespace corvan::crash
