#pragma once
// Helpers of the Windows tests: message pumping with a deadline, window
// texts, other processes' windows, temporary files, and BMP pixel access.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace corvan::crash::test {

// A wait for another program, stretched by CORVAN_TEST_SLOWDOWN where the
// programs run emulated (scripts/wine-smoke.sh): the time a test gives a
// program says what the program may take, not how fast the machine is.
inline int Patience(int milliseconds) {
  static const int factor = [] {
    const char* text = std::getenv("CORVAN_TEST_SLOWDOWN");
    const int n = text ? std::atoi(text) : 1;
    return n > 1 && n <= 1000 ? n : 1;
  }();
  return milliseconds * factor;
}

// A program the test started. It is ended, and waited for, when the test
// leaves its scope, after a failed assertion or a thrown exception too: a
// program left running would hold the display, the prefix and ctest's
// output pipe for every test after it.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(std::string commandLine) { Start(std::move(commandLine)); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { End(); }

  bool Start(std::string commandLine) {
    End();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process_) != 0;
    return started_;
  }
  // Terminates the program if it still runs.
  void End() {
    if (!started_) return;
    if (Running()) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
    started_ = false;
  }
  bool Started() const { return started_; }
  bool Running() const {
    return started_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
  }
  DWORD Id() const { return process_.dwProcessId; }
  HANDLE Handle() const { return process_.hProcess; }
  // The exit code, or STILL_ACTIVE after timeoutMs.
  DWORD Exit(int timeoutMs = 30000) const {
    if (!started_) return STILL_ACTIVE;
    WaitForSingleObject(process_.hProcess, static_cast<DWORD>(Patience(timeoutMs)));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

 private:
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

// Dispatches this thread's messages until done() holds or timeoutMs pass.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience(timeoutMs));
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline void PumpFor(int milliseconds) {
  PumpUntil([] { return false; }, milliseconds);
}

inline std::string WindowText(HWND window) {
  char buffer[1024] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

inline std::string TempPath(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "corvan-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

inline bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Red, green, blue of pixel (x, y) (from the top) of a 32-bit BMP file.
inline COLORREF BmpPixel(const std::vector<std::uint8_t>& bmp, int x, int y) {
  const int width = *reinterpret_cast<const std::int32_t*>(&bmp[18]);
  const int height = *reinterpret_cast<const std::int32_t*>(&bmp[22]);
  const std::uint8_t* p = &bmp[54 + (static_cast<std::size_t>(height - 1 - y) * width + x) * 4];
  return RGB(p[2], p[1], p[0]);
}

// The children of a window with the given class, in z-order.
inline std::vector<HWND> Children(HWND parent, const char* cls) {
  std::vector<HWND> out;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char name[64] = {};
    GetClassNameA(child, name, sizeof name);
    if (std::string(name) == cls) out.push_back(child);
  }
  return out;
}

// The index-th child of that class, or null when there are fewer.
inline HWND NthChild(HWND parent, const char* cls, std::size_t index) {
  const std::vector<HWND> children = Children(parent, cls);
  return index < children.size() ? children[index] : nullptr;
}
inline HWND Button(HWND parent, const std::string& caption) {
  for (HWND b : Children(parent, "Button")) {
    if (WindowText(b) == caption) return b;
  }
  return nullptr;
}

// The first visible top-level window for which accept(window, its
// process id, its class) holds, waited for up to timeoutMs (0: one look).
inline HWND WaitForTopWindow(const std::function<bool(HWND, DWORD, const std::string&)>& accept,
                             int timeoutMs) {
  struct Search {
    const std::function<bool(HWND, DWORD, const std::string&)>& accept;
    HWND found;
  } search{accept, nullptr};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience(timeoutMs));
  for (;;) {
    EnumWindows(
        [](HWND window, LPARAM context) WINAPI -> BOOL {
          auto* s = reinterpret_cast<Search*>(context);
          char cls[64] = {};
          GetClassNameA(window, cls, sizeof cls);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          if (!IsWindowVisible(window) || !s->accept(window, owner, cls)) return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found || std::chrono::steady_clock::now() >= deadline) return search.found;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The visible top-level window of class cls in process, other than skip,
// waited for up to timeoutMs; null when there is none.
inline HWND WaitForWindow(DWORD process, const char* cls, HWND skip = nullptr,
                          int timeoutMs = 30000) {
  return WaitForTopWindow(
      [&](HWND window, DWORD owner, const std::string& name) {
        return name == cls && owner == process && window != skip;
      },
      timeoutMs);
}

inline HWND FindWindowOf(DWORD process, const char* cls, HWND skip = nullptr) {
  return WaitForWindow(process, cls, skip, 0);
}

// A click as the button reports it to its parent, posted from outside.
inline void Press(HWND parent, HWND button) {
  PostMessageA(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
}

}  // namespace corvan::crash::test
