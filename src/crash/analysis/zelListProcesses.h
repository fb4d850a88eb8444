#pragma once
// The "processes" section of the bug report: every process running on the
// machine with its session and priority class. Formatting is portable;
// collecting the processes asks the system (Windows).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

struct ProcessEntry {
  std::string fileName;
  std::string directory;  // without the trailing backslash; empty for a short name
  std::uint32_t processId = 0;
  std::uint32_t sessionId = 0;
  std::int32_t priorityClass = -1;  // -1 when unknown
};

// "normal", "idle", "high", "realtime", "below normal", "above normal";
// empty for 0 and -1; "$" and hex digits for anything else.
std::string PriorityClassText(std::int32_t priorityClass);

// A path as the system reports an image: "\SystemRoot\System32\" becomes
// the system directory (given without a trailing backslash) and a leading
// "\??\" is removed.
std::string ProcessImagePath(std::string_view path, std::string_view systemDirectory);

// Splits path at its last backslash into the entry's file name and
// directory.
void SetProcessPath(ProcessEntry& entry, std::string_view path);

// One line per process in the given order: the id in hex digits padded
// with zeros to the longest id, the file name, the session (only when some
// session is not 0) and the priority each in a column one wider than its
// longest value, then the directory. Lines are joined by CR LF.
std::string ProcessListText(const std::vector<ProcessEntry>& processes);

#ifdef _WIN32
// The processes of the machine in the order the system lists them.
std::vector<ProcessEntry> RunningProcesses();
// The plugin: ProcessListText(RunningProcesses()).
std::string ListProcesses();
#endif

}  // namespace corvan::crash
