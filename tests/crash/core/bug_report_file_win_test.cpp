// The bug report file on disk: saves of two processes at the same time,
// deletion only of an unchanged file, and the restart hand-over block's
// access rights (checked through the system's own security queries).
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crash/core/BugReportFileWin.h"

namespace corvan::crash {
namespace {

std::string TempFile(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "corvan-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Beside(const char* program) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string self(path);
  return self.substr(0, self.rfind('\\') + 1) + program;
}

// Runs the writers at once; their exit codes.
std::vector<DWORD> RunWriters(const std::vector<std::string>& arguments) {
  std::vector<PROCESS_INFORMATION> running;
  for (const std::string& a : arguments) {
    std::string command = "\"" + Beside("bug_report_writer.exe") + "\" " + a;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION p{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &p)) {
      running.push_back(p);
    }
  }
  std::vector<DWORD> codes;
  for (PROCESS_INFORMATION& p : running) {
    WaitForSingleObject(p.hProcess, 300000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(p.hProcess, &code);
    codes.push_back(code);
    CloseHandle(p.hThread);
    CloseHandle(p.hProcess);
  }
  return codes;
}

// Every report of the file, split at its report starts; each must end
// with its own last line and be followed by one empty line.
std::map<std::string, std::string> Reports(const std::string& file, int& torn) {
  std::map<std::string, std::string> out;
  torn = 0;
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t next = file.find("\r\ndate/time", start);
    next = next == std::string::npos ? file.size() : next + 2;
    const std::string report = file.substr(start, next - start);
    const std::size_t nameAt = report.find(": ") + 2;
    const std::string name = report.substr(nameAt, report.find("\r\n") - nameAt);
    if (report.rfind("date/time", 0) != 0 || report.size() < 4 ||
        report.compare(report.size() - 4, 4, "\r\n\r\n") != 0 ||
        report.find("end of report " + name + "\r\n\r\n") == std::string::npos || out.count(name)) {
      ++torn;
    }
    out[name] = report;
    start = next;
  }
  return out;
}

TEST(BugReportFileWin, TwoProcessesAppendingAtOnceLoseNothing) {
  const std::string path = TempFile("concurrent.txt");
  DeleteFileA(path.c_str());
  const std::vector<DWORD> codes =
      RunWriters({"\"" + path + "\" 1000 1", "\"" + path + "\" 1000 2"});
  EXPECT_EQ(codes, (std::vector<DWORD>{0, 0}));
  int torn = 0;
  const auto reports = Reports(ReadFile(path), torn);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(reports.size(), 2000u);
  for (int tag : {1, 2}) {
    for (int i = 0; i < 1000; i += 111)
      EXPECT_EQ(reports.count(std::to_string(tag) + " " + std::to_string(i)), 1u);
  }
  DeleteFileA(path.c_str());
}

TEST(BugReportFileWin, CollapsingRewritesStayWholeUnderConcurrentSaves) {
  const std::string path = TempFile("collapsing.txt");
  DeleteFileA(path.c_str());
  const std::vector<DWORD> codes =
      RunWriters({"\"" + path + "\" 150 3 twice", "\"" + path + "\" 150 4 twice"});
  EXPECT_EQ(codes, (std::vector<DWORD>{0, 0}));
  int torn = 0;
  const auto reports = Reports(ReadFile(path), torn);
  EXPECT_EQ(torn, 0);
  ASSERT_EQ(reports.size(), 300u);
  for (const auto& [name, report] : reports) {
    EXPECT_NE(report.find("\r\ncount              : 2\r\n"), std::string::npos) << name;
  }
  DeleteFileA(path.c_str());
}

TEST(BugReportFileWin, ASaveWaitsForAnotherThatHoldsTheFile) {
  const std::string path = TempFile("held.txt");
  DeleteFileA(path.c_str());
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(AppendToBugReportFile(path, "date/time : x", BugReportFileRules{}, 200));
  HANDLE releaser = CreateThread(
      nullptr, 0,
      [](void* h) WINAPI -> DWORD {
        Sleep(300);
        CloseHandle(static_cast<HANDLE>(h));
        return 0;
      },
      held, 0, nullptr);
  EXPECT_TRUE(AppendToBugReportFile(path, "date/time : y", BugReportFileRules{}, 10000));
  WaitForSingleObject(releaser, INFINITE);
  CloseHandle(releaser);
  EXPECT_EQ(ReadFile(path), "date/time : y\r\n\r\n");
  DeleteFileA(path.c_str());
}

TEST(BugReportFileWin, DeletedOnlyWhenUnchangedSinceRead) {
  const std::string path = TempFile("delete.txt");
  DeleteFileA(path.c_str());
  ASSERT_TRUE(AppendToBugReportFile(path, "date/time : a", BugReportFileRules{}));
  std::string content;
  FileStamp stamp;
  ASSERT_TRUE(ReadFileWithStamp(path, content, stamp));
  EXPECT_EQ(content, "date/time : a\r\n\r\n");
  // Another process appends meanwhile: the file stays.
  ASSERT_TRUE(AppendToBugReportFile(path, "date/time : b", BugReportFileRules{}));
  EXPECT_FALSE(DeleteFileIfUnchanged(path, stamp));
  EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(ReadFileWithStamp(path, content, stamp));
  EXPECT_TRUE(DeleteFileIfUnchanged(path, stamp));
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(RestartHandOverBlock, OnlyTheCurrentUserMayOpenIt) {
  // A stand-in for the new process: this process itself, under a pid no
  // process has (blocks are named after the new process).
  PROCESS_INFORMATION self{};
  self.hProcess = GetCurrentProcess();
  self.dwProcessId = 0x7ffffff0;
  ExceptionHistory history;
  history.Add(1000);
  history.Add(2000);
  HANDLE block = CreateRestartBlock(self, history);
  ASSERT_NE(block, nullptr);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(block, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor),
            ERROR_SUCCESS);
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, 1);
  void* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, &ace));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  char buffer[256];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
  CloseHandle(token);
  EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_TRUE(EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart,
                       reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
  LocalFree(descriptor);
  // Its content: old process id, the handle for the new one, the history.
  HANDLE opened = OpenFileMappingA(FILE_MAP_READ, FALSE, RestartBlockName(0x7ffffff0).c_str());
  ASSERT_NE(opened, nullptr);
  const auto* view =
      static_cast<const std::uint32_t*>(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, 88));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], GetCurrentProcessId());
  EXPECT_NE(view[1], 0u);
  EXPECT_EQ(reinterpret_cast<const std::int64_t*>(view + 2)[0], 2000);
  EXPECT_EQ(reinterpret_cast<const std::int64_t*>(view + 2)[1], 1000);
  CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(view[1])));
  UnmapViewOfFile(view);
  CloseHandle(opened);
  CloseHandle(block);
  EXPECT_EQ(RestartBlockName(0x1a2b), "zelExceptRestart$1a2b");
}

}  // namespace
}  // namespace corvan::crash
