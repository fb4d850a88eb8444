#pragma once
// The freeze watchdog: a thread of the highest priority that pings the
// main thread's message-handler window and, when the main thread has not
// answered for about the freeze timeout, files a frozen-main-thread report
// (kind 1, source 1) through the pipeline, which may continue. Only one
// watchdog runs per process, whichever module carries the reporter.
#include <windows.h>

#include <cstdint>

namespace corvan::crash {

// Call on the main thread: the ping window belongs to the calling thread.
// False when the window or the thread cannot be made (no watchdog then).
bool StartWatchdog(std::int32_t freezeTimeoutMs);
// Asks the thread to end, terminating it when it does not (it may wait
// inside the pipeline).
void StopWatchdog();
bool WatchdogRunning();

// Pauses nest; ignored without a watchdog and in the watchdog thread
// itself. Both directions forget the misses counted so far.
void PauseWatchdog(bool pause);
void ResetWatchdogMisses();

DWORD WatchdogThreadId();
// The ping: posted to WatchdogWindow() with a window in wParam, the main
// thread answers that window with WM_NULL, wParam and lParam 777, as soon
// as it processes messages again. 0 and null without a watchdog.
UINT WatchdogPingMessage();
HWND WatchdogWindow();

inline constexpr WPARAM kPingAnswer = 777;

// Pauses the watchdog for its lifetime.
class WatchdogPause {
 public:
  WatchdogPause() { PauseWatchdog(true); }
  ~WatchdogPause() { PauseWatchdog(false); }
  WatchdogPause(const WatchdogPause&) = delete;
  WatchdogPause& operator=(const WatchdogPause&) = delete;
};

}  // namespace corvan::crash
