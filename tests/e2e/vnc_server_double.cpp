// Stands in for the UltraVNC server (Winvnc.exe) in end-to-end tests: each
// start appends one line to the file named by CORVAN_VNC_LOG,
//   <milliseconds since 1601>\t<show state>\t<command line parameters>
// and exits at once.
#include <windows.h>

#include <cstdio>
#include <string>

#include "CommandLineParameters.h"

int main() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ms =
      ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

  char log[MAX_PATH] = {};
  if (!GetEnvironmentVariableA("CORVAN_VNC_LOG", log, sizeof log)) return 1;
  // Appends under a lock so that overlapping starts never mix their lines.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 200 && file == INVALID_HANDLE_VALUE; ++attempt) {
    file =
        CreateFileA(log, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Sleep(10);
  }
  if (file == INVALID_HANDLE_VALUE) return 2;
  const std::string line = std::to_string(ms) + "\t" + std::to_string(show) + "\t" +
                           corvan::e2e::CommandLineParameters() + "\r\n";
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
