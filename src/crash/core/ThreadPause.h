#pragma once
// Cooperative pausing of the program's threads while an exception is
// handled. A thread pauses only at a pause point: every GetMessage and
// PeekMessage it calls (their imports are redirected on first use; while
// paused, a message hook of the thread also catches the calls that bypass
// our imports, such as user32's own modal loops) and, for the main thread,
// the main-thread hook message. Threads of the reporter and of modules
// without the reporter's symbol map never pause.
#include <windows.h>

namespace corvan::crash {

// The process's first thread, recorded at start-up.
DWORD MainThreadId();
void SetMainThreadId(DWORD id);

// Pauses (on) or resumes (off) every thread of the program but the
// calling one, the main thread and spare; the main thread pauses when it
// reaches its next pause point.
void SetThreadsPaused(bool on, DWORD spare);
// Lets the calling thread wait here while it is to be paused.
void PausePoint();
// Lets a paused main thread run (synchronised handlers, the mail client);
// whether a pause was on. PauseMainThreadAgain undoes it once every such
// caller is done, and only while the pause is still on.
bool ResumeMainThreadForHandlers();
void PauseMainThreadAgain();

// The main thread runs for the lifetime of this object when the pipeline
// had paused it: a call that may wait for the main thread's windows.
class MainThreadRunning {
 public:
  MainThreadRunning() : resumed_(ResumeMainThreadForHandlers()) {}
  MainThreadRunning(const MainThreadRunning&) = delete;
  MainThreadRunning& operator=(const MainThreadRunning&) = delete;
  ~MainThreadRunning() {
    if (resumed_) PauseMainThreadAgain();
  }

 private:
  bool resumed_;
};

// The main thread's hook message (registered at start-up, on the main
// thread): wParam 1 only probes (and lets the main thread pause), wParam 0
// runs fire(lParam) in the main thread. Always answers kHookAnswer.
inline constexpr LRESULT kHookAnswer = 777;
using MainThreadCall = void (*)(LPARAM argument);
bool InstallMainThreadHook(MainThreadCall fire);
// Sends the hook message to the main thread's window; true when the main
// thread answered within timeoutMs.
bool SendMainThreadHook(WPARAM wParam, LPARAM lParam, UINT timeoutMs);
void RemovePauseHooks();

}  // namespace corvan::crash
