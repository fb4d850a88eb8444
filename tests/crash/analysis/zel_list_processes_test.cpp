// The process list's text: zero-padded ids, the session column only when
// a session is not 0, priority names, and the image paths the system
// reports in its own spelling.
#include "crash/analysis/zelListProcesses.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

ProcessEntry Process(std::uint32_t id, const char* path, std::uint32_t session, int priority) {
  ProcessEntry entry;
  entry.processId = id;
  entry.sessionId = session;
  entry.priorityClass = priority;
  SetProcessPath(entry, path);
  return entry;
}

TEST(ProcessList, SessionColumnOnlyWithANonZeroSession) {
  std::vector<ProcessEntry> processes = {
      Process(0, "Idle", 0, -1),
      Process(4, "System", 0, 32),
      Process(0x1a2c, "C:\\windows\\explorer.exe", 0, 0x8000),
  };
  EXPECT_EQ(ProcessListText(processes),
            "0000 Idle                      \r\n"
            "0004 System       normal       \r\n"
            "1a2c explorer.exe above normal C:\\windows");
  processes[2].sessionId = 12;
  EXPECT_EQ(ProcessListText(processes),
            "0000 Idle         0               \r\n"
            "0004 System       0  normal       \r\n"
            "1a2c explorer.exe 12 above normal C:\\windows");
}

TEST(ProcessList, PriorityClassNames) {
  EXPECT_EQ(PriorityClassText(32), "normal");
  EXPECT_EQ(PriorityClassText(64), "idle");
  EXPECT_EQ(PriorityClassText(128), "high");
  EXPECT_EQ(PriorityClassText(256), "realtime");
  EXPECT_EQ(PriorityClassText(0x4000), "below normal");
  EXPECT_EQ(PriorityClassText(0x8000), "above normal");
  EXPECT_EQ(PriorityClassText(0), "");
  EXPECT_EQ(PriorityClassText(-1), "");
  EXPECT_EQ(PriorityClassText(0x20000), "$20000");
}

TEST(ProcessList, ImagePathsInTheSystemsSpelling) {
  const char* system = "C:\\Windows\\system32";
  EXPECT_EQ(ProcessImagePath("\\SystemRoot\\System32\\smss.exe", system),
            "C:\\Windows\\system32\\smss.exe");
  EXPECT_EQ(ProcessImagePath("\\systemroot\\system32\\csrss.exe", system),
            "C:\\Windows\\system32\\csrss.exe");
  EXPECT_EQ(ProcessImagePath("\\??\\C:\\Windows\\system32\\winlogon.exe", system),
            "C:\\Windows\\system32\\winlogon.exe");
  EXPECT_EQ(ProcessImagePath("C:\\x\\a.exe", system), "C:\\x\\a.exe");
  EXPECT_EQ(ProcessImagePath("", system), "");
}

TEST(ProcessList, WideIdsPadEveryId) {
  const std::vector<ProcessEntry> processes = {Process(0x12345678, "a.exe", 0, -1),
                                               Process(8, "b.exe", 0, -1)};
  EXPECT_EQ(ProcessListText(processes), "12345678 a.exe  \r\n00000008 b.exe  ");
}

}  // namespace
}  // namespace corvan::crash
