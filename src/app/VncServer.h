#pragma once
// Finding and driving the locally installed UltraVNC server through its
// command line. Every launch blocks the calling (GUI) thread for its pause.
#include <windows.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace corvan::app {

// Raised when the system cannot answer the WOW64 question.
class EOSError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// True when this 32-bit process runs on 64-bit Windows. Windows without
// WOW64 lacks the export: false. A failing call raises "Bad process handle".
bool IsWow64();
// The same decision for a given export (null: absent), so tests can stand
// in for both kinds of Windows.
bool IsWow64(IsWow64ProcessFunction isWow64Process);

// Path of a shell special folder with a trailing backslash, or "" when the
// shell does not know it.
std::string GetSpecialFolderPath(int csidl);

// Program Files folder (64-bit one on WOW64) + "ultravnc\Winvnc.exe", or ""
// when the folder is unknown.
std::string ComputeVncServerPath();

class TVncServer {
 public:
  // Pause after every launch, and the extra pause after the kill.
  static constexpr DWORD kLaunchPauseMs = 1000;
  static constexpr DWORD kKillExtraPauseMs = 3000;

  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }
  // A file (not a folder) exists at the path; an empty path never exists.
  bool Installed() const;

  // Starts the server with the parameters, then pauses; a failing start
  // shows "Kan ultravnc niet uitvoeren!" and still pauses.
  void Launch(std::string_view parameters) const;
  void Kill() const;
  void Run() const;
  void Connect(int helpdeskNumber, bool reconnect) const;

 private:
  std::string path_;
};

}  // namespace corvan::app
