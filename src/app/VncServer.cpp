#include "app/VncServer.h"

#include <shellapi.h>
#include <shlobj.h>

#include "app/VncCommands.h"
#include "ui/Application.h"
#include "ui/MessageDialogs.h"
#include "common/WinHandles.h"

namespace corvan::app {

bool IsWow64() {
  HMODULE kernel = GetModuleHandleA("kernel32");
  auto isWow64Process = kernel ? reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(
                                     GetProcAddress(kernel, "IsWow64Process")))
                               : nullptr;
  return IsWow64(isWow64Process);
}

bool IsWow64(IsWow64ProcessFunction isWow64Process) {
  if (!isWow64Process) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(GetCurrentProcess(), &wow64)) throw EOSError("Bad process handle");
  return wow64 != FALSE;
}

std::string GetSpecialFolderPath(int csidl) {
  // The path straight from shell32: no item list whose memory would need
  // ole32 to free.
  char buffer[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)) || !*buffer)
    return {};
  std::string result = buffer;
  if (result.back() != '\\') result += '\\';
  return result;
}

std::string ComputeVncServerPath() {
  const std::string folder = GetSpecialFolderPath(CSIDL_PROGRAM_FILES);
  if (folder.empty()) return {};
  return VncServerPathFromProgramFiles(folder, IsWow64());
}

bool TVncServer::Installed() const {
  if (path_.empty()) return false;
  const DWORD attributes = GetFileAttributesA(path_.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void TVncServer::Launch(std::string_view parameters) const {
  const std::string args(parameters);
  SHELLEXECUTEINFOA info{};
  static_assert(sizeof(void*) != 4 || sizeof info == 60);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = ui::Application().Handle();
  info.lpFile = path_.c_str();
  info.lpParameters = args.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExA(&info)) {
    ScopedHandle process(info.hProcess);  // never waited for
  } else {
    ui::ShowPlainMessage("Kan ultravnc niet uitvoeren!");
  }
  Sleep(kLaunchPauseMs);
}

void TVncServer::Kill() const {
  Launch(kKillParameters);
  Sleep(kKillExtraPauseMs);
}

void TVncServer::Run() const { Launch(kRunParameters); }

void TVncServer::Connect(int helpdeskNumber, bool reconnect) const {
  Launch(ConnectParameters(helpdeskNumber, reconnect));
}

}  // namespace corvan::app
