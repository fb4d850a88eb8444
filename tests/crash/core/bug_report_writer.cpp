// Appends reports to a bug report file as fast as it can, for the test of
// saves of two processes at once:
//   bug_report_writer FILE COUNT TAG [twice]
// Report i of TAG has its own call stack checksum; with "twice" each is
// saved twice in a row, so that the second save collapses into the first
// and rewrites the file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "crash/core/BugReportFileWin.h"

int main(int argc, char** argv) {
  if (argc < 4) return 3;
  const std::string path = argv[1], tag = argv[3];
  const int count = std::atoi(argv[2]);
  const bool twice = argc > 4 && std::string(argv[4]) == "twice";
  corvan::crash::BugReportFileRules rules;
  for (int i = 0; i < count; ++i) {
    char crc[40];
    std::snprintf(crc, sizeof crc, "$%08x, $%08x, $00000000", std::atoi(tag.c_str()), i);
    const std::string report =
        "date/time          : " + tag + " " + std::to_string(i) +
        "\r\nexecutable         : writer.exe\r\ncallstack crc      : " + crc +
        "\r\n\r\nmain thread ($1):\r\nend of report " + tag + " " + std::to_string(i);
    for (int k = 0; k < (twice ? 2 : 1); ++k) {
      if (!corvan::crash::AppendToBugReportFile(path, report, rules, 60000)) return 1;
    }
  }
  return 0;
}
