#pragma once
// The black-box tests' side of exception_box_probe: starting it with its
// settings, finding its exception box, reading its log.
#include <windows.h>

#include <chrono>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/WinTestSupport.h"

namespace corvan::crash::test {

inline std::string ProbePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.rfind('\\') + 1) + "exception_box_probe.exe";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The folder every copy of the probe prepares its report files in, and
// the subfolder of one process.
inline std::string ProbeReporterFolder() {
  char temp[MAX_PATH + 1] = {};
  GetTempPathA(sizeof temp, temp);
  return std::string(temp) + "exception_box_probe.zelExcept";
}

inline std::string ProbeReporterFolder(DWORD process) {
  return ProbeReporterFolder() + "\\" + std::to_string(process);
}

// A PNG from its signature to its end chunk: nothing cut off or appended.
inline bool WholePng(const std::string& bytes) {
  static const std::string kSignature("\x89PNG\r\n\x1a\n", 8);
  static const std::string kEnd("\0\0\0\0IEND\xae\x42\x60\x82", 12);
  return bytes.size() > kSignature.size() + kEnd.size() && bytes.rfind(kSignature, 0) == 0 &&
         bytes.compare(bytes.size() - kEnd.size(), kEnd.size(), kEnd) == 0;
}

// Polls done until it holds; false after the given seconds.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The visible exception box of process (0: of any process but skip).
inline HWND WaitForBox(DWORD process, DWORD skip = 0, int timeoutMs = 30000) {
  return WaitForTopWindow(
      [&](HWND, DWORD owner, const std::string& name) {
        return name == "zelExceptWndClass" && (!process || owner == process) && owner != skip;
      },
      timeoutMs);
}

inline HWND FindBox(DWORD process, DWORD skip = 0) { return WaitForBox(process, skip, 0); }

// A visible dialog (a message box, the offer of kept reports) of process
// with a button of this caption.
inline HWND WaitForDialog(DWORD process, const std::string& button, int timeoutMs = 30000) {
  return WaitForTopWindow(
      [&](HWND window, DWORD owner, const std::string& name) {
        return name == "#32770" && owner == process && Button(window, button);
      },
      timeoutMs);
}

// One run of the probe: its process, its log.
class Probe {
 public:
  explicit Probe(const std::vector<std::string>& settings, const std::string& mode = "fault")
      : log_(TempPath("probe-" + std::to_string(next_++) + ".log")) {
    DeleteFileA(log_.c_str());
    std::string command = "\"" + ProbePath() + "\" \"" + log_ + "\" " + mode;
    for (const std::string& s : settings) command += " \"" + s + "\"";
    process_.Start(command);
  }
  ~Probe() {
    process_.End();
    DeleteFileA(log_.c_str());
    DeleteFileA((log_ + ".quit").c_str());
  }
  bool Started() const { return process_.Started(); }
  DWORD Id() const { return process_.Id(); }
  // The exit code, or STILL_ACTIVE after timeoutMs.
  DWORD Exit(int timeoutMs = 30000) const { return process_.Exit(timeoutMs); }
  std::string Log() const { return ReadFile(log_); }
  // Lets a probe of "faults" end.
  void LetGo() const { std::ofstream(log_ + ".quit") << "quit"; }

 protected:
  static inline int next_ = 0;
  std::string log_;
  ChildProcess process_;
};

}  // namespace corvan::crash::test
