// The freeze watchdog in a program of ours: a main thread that stops
// answering for longer than the timeout is reported as frozen, with its
// own stack first, and goes on; one that stops for less is not reported.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "crash/core/BugReportFile.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ChildRun {
  DWORD exitCode = 99;
  std::string report, seen;
  bool continued = false;
};

ChildRun RunChild(DWORD blockMs, const std::string& mode = "") {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "corvan-freeze-" +
                             std::to_string(GetCurrentProcessId()) + "-" + std::to_string(blockMs) +
                             mode;
  CreateDirectoryA(folder.c_str(), nullptr);
  for (const char* file : {"bugreport.txt", "seen.txt", "continued.txt"})
    DeleteFileA((folder + "\\" + file).c_str());
  std::string command =
      "\"" CORVAN_FREEZE_CHILD "\" " + std::to_string(blockMs) + " \"" + folder + "\" " + mode;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ChildRun run;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start " << command;
    return run;
  }
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_TIMEOUT) {
    ADD_FAILURE() << "still running after a minute";
    TerminateProcess(process.hProcess, 99);
  }
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.report = ReadFile(folder + "\\bugreport.txt");
  run.seen = ReadFile(folder + "\\seen.txt");
  run.continued =
      GetFileAttributesA((folder + "\\continued.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
  return run;
}

TEST(FreezeWatchdog, ABlockedMainThreadIsReportedWithItsStackFirstAndGoesOn) {
  const ChildRun run = RunChild(3000);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.continued);
  ASSERT_FALSE(run.seen.empty()) << "no freeze reported";
  // Every report: the freeze watchdog's source (1), kind 1, can continue.
  std::istringstream seen(run.seen);
  int reports = 0;
  for (std::string line; std::getline(seen, line); ++reports) EXPECT_EQ(line, "1 1 1");
  EXPECT_LE(reports, 4);  // each further report of the freeze comes later

  const std::string& text = run.report;
  EXPECT_EQ(corvan::crash::ExtractHeaderValue(text, "exception message"),
            "The application seems to be frozen.");
  EXPECT_EQ(text.find("exception class"), std::string::npos);
  // The first section is the main thread, in the function that blocks.
  const std::size_t first = text.find("\r\n\r\n") + 4;
  EXPECT_EQ(text.find("main thread ($", first), first) << text.substr(first, 400);
  const std::size_t second = text.find("\r\n\r\n", first);
  const std::string mainSection = text.substr(first, second - first);
  EXPECT_NE(mainSection.find("FreezeMainThread"), std::string::npos) << mainSection;
  EXPECT_NE(mainSection.find("freeze_child.cpp"), std::string::npos) << mainSection;
  // A freeze has no exception of its own: no registers, dump or listing.
  EXPECT_EQ(text.find("\r\n\r\ncpu registers:"), std::string::npos);
  EXPECT_EQ(text.find("\r\n\r\ndisassembling:"), std::string::npos);
  // The process lists follow the main thread.
  for (const char* section :
       {"\r\n\r\nmodules:\r\n", "\r\n\r\nprocesses:\r\n", "\r\n\r\nhardware:\r\n"}) {
    EXPECT_NE(text.find(section), std::string::npos) << section;
  }
}

TEST(FreezeWatchdog, AShortBlockIsNoFreeze) {
  const ChildRun run = RunChild(150);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.continued);
  EXPECT_EQ(run.seen, "");
  EXPECT_EQ(run.report, "");
}

}  // namespace

namespace {

TEST(FreezeWatchdog, NoFreezeWhileAnExceptionIsHandled) {
  // The main thread waits without answering while a worker's exception is
  // handled for four times the timeout: only that exception is reported.
  const ChildRun run = RunChild(2000, "worker");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.continued);
  EXPECT_EQ(run.seen, "16 0 1\n");
}

}  // namespace
