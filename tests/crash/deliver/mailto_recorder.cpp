// A mailto handler for the tests: writes the command line it was started
// with to the file named by CORVAN_MAILTO_LOG.
#include <windows.h>

#include <cstdio>

int main() {
  char log[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("CORVAN_MAILTO_LOG", log, sizeof log);
  if (length == 0 || length >= sizeof log) return 1;
  // Written aside and renamed, so the test never reads half a line.
  char part[MAX_PATH + 8];
  std::snprintf(part, sizeof part, "%s.part", log);
  FILE* out = std::fopen(part, "wb");
  if (!out) return 1;
  std::fputs(GetCommandLineA(), out);
  std::fclose(out);
  return MoveFileExA(part, log, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
