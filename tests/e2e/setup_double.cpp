// Stands in for the UltraVNC setup program in end-to-end tests: appends
//   <milliseconds since 1601>\t<command line parameters>
// to the file named by CORVAN_SETUP_LOG, then runs for CORVAN_SETUP_MS
// milliseconds (default 2000) before it exits, like an installer would.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "CommandLineParameters.h"

int main() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ms =
      ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
  char log[MAX_PATH] = {};
  if (GetEnvironmentVariableA("CORVAN_SETUP_LOG", log, sizeof log)) {
    HANDLE file =
        CreateFileA(log, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      const std::string line =
          std::to_string(ms) + "\t" + corvan::e2e::CommandLineParameters() + "\r\n";
      DWORD written = 0;
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(file);
    }
  }
  char duration[32] = {};
  const DWORD runMs = GetEnvironmentVariableA("CORVAN_SETUP_MS", duration, sizeof duration)
                          ? static_cast<DWORD>(std::atoi(duration))
                          : 2000;
  Sleep(runMs);
  return 0;
}
