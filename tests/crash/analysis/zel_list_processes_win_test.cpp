// The process list against processes we know: this one, and a copy of
// this program started suspended, with the system's word on each.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/zelListProcesses.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

const ProcessEntry* Find(const std::vector<ProcessEntry>& processes, DWORD id) {
  const auto it = std::find_if(processes.begin(), processes.end(),
                               [&](const ProcessEntry& p) { return p.processId == id; });
  return it == processes.end() ? nullptr : &*it;
}

TEST(ProcessListWin, ListsThisProcessAndOneWeStarted) {
  std::string command = "\"" + ModulePath(nullptr) + "\" --gtest_list_tests";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED | BELOW_NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                             &startup, &child));
  SetPriorityClass(child.hProcess, IDLE_PRIORITY_CLASS);
  const auto priority = static_cast<std::int32_t>(GetPriorityClass(child.hProcess));
  const std::vector<ProcessEntry> processes = RunningProcesses();
  const std::string text = ProcessListText(processes);
  TerminateProcess(child.hProcess, 0);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);

  const std::string exe = ModulePath(nullptr);
  const ProcessEntry* started = Find(processes, child.dwProcessId);
  ASSERT_TRUE(started);
  EXPECT_TRUE(EqualsIgnoreCase(started->fileName, FileNamePart(exe)));
  EXPECT_TRUE(EqualsIgnoreCase(started->directory + "\\", FolderPart(exe)));
  EXPECT_EQ(started->priorityClass, priority);

  const ProcessEntry* self = Find(processes, GetCurrentProcessId());
  ASSERT_TRUE(self);
  EXPECT_TRUE(EqualsIgnoreCase(self->fileName, FileNamePart(exe)));
  EXPECT_EQ(self->priorityClass, static_cast<std::int32_t>(GetPriorityClass(GetCurrentProcess())));
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(self->sessionId, session);

  // The started process's line: its id, name and priority in their columns.
  const std::string id = HexText(child.dwProcessId).substr(1);
  std::size_t at = text.find(id + " " + started->fileName);
  while (at != std::string::npos && at != 0 && text[at - 1] != '\n' && text[at - 1] != '0')
    at = text.find(id + " " + started->fileName, at + 1);
  ASSERT_NE(at, std::string::npos) << text;
  const std::string line = text.substr(at, text.find("\r\n", at) - at);
  EXPECT_NE(line.find(" " + PriorityClassText(priority) + " "), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - started->directory.size()), started->directory);
}

TEST(ProcessListWin, EveryLineStartsWithAnIdOfOneWidth) {
  const std::string text = ListProcesses();
  ASSERT_FALSE(text.empty());
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const std::size_t blank = line.find(' ');
    if (!width) width = blank;
    EXPECT_EQ(blank, width) << line;
    EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), blank) << line;
    at = end + 2;
  }
}

}  // namespace
}  // namespace corvan::crash
