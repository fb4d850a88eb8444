#pragma once
// Drives a running corvan.exe from another process, as a user would: finds
// its windows, types into controls, clicks by posted messages (the click
// handlers block the program's GUI thread) and answers its message boxes.
#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/WinTestSupport.h"

namespace corvan::e2e {

// One start of the VNC server test double.
struct VncLaunch {
  long long timeMs = 0;
  int showState = 0;
  std::string parameters;
};

// The message box currently shown by the program.
struct MessageBoxSeen {
  HWND handle = nullptr;
  std::string caption;
  std::string text;
  bool hasIcon = false;
};

class CorvanProcess {
 public:
  // Starts corvan.exe with CORVAN_VNC_LOG naming vncLog; waits for its main
  // window.
  explicit CorvanProcess(const std::string& vncLog);
  // Ends the program if it still runs, also when the constructor throws.

  HWND MainWindow() const { return main_; }
  DWORD ProcessId() const { return processId_; }
  bool Running() const;
  // Waits for the process to end; true when it did within the timeout.
  bool WaitForExit(std::chrono::milliseconds timeout) const;

  // The top-level window of the program with this class, or null.
  HWND FindWindowOfClass(const char* className) const;
  // Every visible top-level window of the program and of the processes it
  // started (its crash handler among them), as "class \"title\"".
  std::vector<std::string> VisibleWindows() const;
  // Waits for a message box of the program; none when the timeout passes.
  std::optional<MessageBoxSeen> WaitForMessageBox(std::chrono::milliseconds timeout) const;
  // Presses the OK button of a message box and waits until it is gone.
  void AnswerMessageBox(const MessageBoxSeen& box) const;
  // True when the GUI thread answers a message within the timeout.
  bool Responsive(std::chrono::milliseconds timeout) const;

 private:
  crash::test::ChildProcess process_;
  DWORD processId_ = 0;
  HWND main_ = nullptr;
};

// Helpers on controls of another process.
std::string WindowText(HWND window);
std::string ClassOf(HWND window);
void SetText(HWND window, const std::string& text);
void PostClick(HWND form, int controlId);
// Control bounds in the client coordinates of its parent.
RECT ChildBounds(HWND control);

// Reads the double's log (missing file: no launches).
std::vector<VncLaunch> ReadVncLog(const std::string& path);

// Milliseconds on the clock the double writes.
long long NowMs();

// Waits until pred() holds or the timeout passes; returns pred().
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout) {
  const auto end =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(crash::test::Patience(static_cast<int>(timeout.count())));
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    Sleep(20);
  }
  return true;
}

}  // namespace corvan::e2e
