#pragma once
// The bug report file: reports appended one after the other, each followed
// by an empty line, bounded in size by dropping old reports from the
// front, with repeated occurrences of one fault collapsed into the newest
// report and a "count" line. The rules work on the file's bytes, so they
// are checked without a file.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::crash {

struct BugReportFileRules {
  bool append = true;               // AppendBugReps
  std::int32_t sizeLimit = 0;       // BugRepFileSize (0: none)
  bool noDuplicates = true;         // NoDupExcepts, or NoDupFreezes for reports without a class
  std::int32_t duplicateDepth = 1;  // DupExceptDef / DupFreezeDef: 0, 1 or 2 checksums
};

// The value of the header line "name : value" after a line break; empty
// when absent (or when name only begins a longer name).
std::string ExtractHeaderValue(std::string_view text, std::string_view name);
// Inserts "name : value" after the line of afterName, colons aligned.
std::string AddHeaderValue(std::string_view text, std::string_view name, std::string_view afterName,
                           std::string_view value);

// The file content after saving report into content (which was
// originalSize bytes when opened).
std::string AppendReport(std::string content, std::string_view report,
                         const BugReportFileRules& rules);

// The arguments of commandLine: everything after its first word, which the
// C runtime reads as quoted up to the next quote, or up to a blank.
std::string_view CommandLineArguments(std::string_view commandLine);

// The command line of a restart: the program's own path, quoted, then the
// arguments of commandLine.
// Starting the path itself, never the first word of the old line, keeps
// an unquoted path with blanks from starting "C:\Program.exe".
std::string RestartCommandLine(std::string_view modulePath, std::string_view commandLine);

}  // namespace corvan::crash
