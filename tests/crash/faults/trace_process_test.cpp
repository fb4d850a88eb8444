// An outside tool's view of zelTraceProcess: it creates the mapping,
// starts a thread in a running corvan.exe at the export and reads the
// report of the whole process.
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/KeptReports.h"
#include "crash/core/BugReportFile.h"

namespace {

constexpr char kMapName[] = "zelTraceProcessMap";

class TraceProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // An offer of reports an earlier test's fault kept would hold the
    // program at its start instead of in its message loop.
    corvan::test::ClearKeptReports("corvan");
    std::string command = "\"" CORVAN_EXE_PATH "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process_));
    WaitForInputIdle(process_.hProcess, 20000);
    Sleep(500);
    export_ = RemoteExport();
  }
  static void TearDownTestSuite() {
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }

  // The export's address in the running program: its offset in the file's
  // image plus the base the program was loaded at.
  static LPTHREAD_START_ROUTINE RemoteExport() {
    HMODULE image = LoadLibraryExA(CORVAN_EXE_PATH, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image) return nullptr;
    auto* local = reinterpret_cast<char*>(GetProcAddress(image, "zelTraceProcess"));
    const std::uintptr_t offset = local ? local - reinterpret_cast<char*>(image) : 0;
    FreeLibrary(image);
    if (!offset) return nullptr;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_.dwProcessId);
    MODULEENTRY32 module{};
    module.dwSize = sizeof module;
    std::uintptr_t base = 0;
    if (snapshot != INVALID_HANDLE_VALUE && Module32First(snapshot, &module)) {
      base = reinterpret_cast<std::uintptr_t>(module.modBaseAddr);
    }
    if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
    return base ? reinterpret_cast<LPTHREAD_START_ROUTINE>(base + offset) : nullptr;
  }

  // Runs zelTraceProcess(mapSize) in the program; its exit code.
  static DWORD RunRemote(LONG mapSize) {
    HANDLE thread = CreateRemoteThread(process_.hProcess, nullptr, 0, export_,
                                       reinterpret_cast<void*>(static_cast<std::intptr_t>(mapSize)),
                                       0, nullptr);
    if (!thread) return 0xFFFFFFFF;
    EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
  }

  // A mapping of size bytes filled with 0xCC; the report is read from it.
  static std::string TraceIntoMapping(DWORD size, LONG claimed, std::string* tail = nullptr) {
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, kMapName);
    EXPECT_NE(mapping, nullptr);
    auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    std::memset(view, 0xCC, size);
    EXPECT_EQ(RunRemote(claimed), 0u);
    std::string text(view, strnlen(view, size));
    if (tail) tail->assign(view + text.size(), size - text.size());
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return text;
  }

  static void ExpectWholeProcess(const std::string& report) {
    EXPECT_EQ(report.rfind("date/time ", 0), 0u);
    EXPECT_EQ(corvan::crash::ExtractHeaderValue(report, "executable"), "corvan.exe");
    EXPECT_TRUE(corvan::crash::ExtractHeaderValue(report, "exception class").empty());
    EXPECT_EQ(corvan::crash::ExtractHeaderValue(report, "exception message"),
              "The application seems to be frozen.");
    // The main thread first, waiting in the message loop of our framework.
    EXPECT_NE(report.find("\r\n\r\nmain thread ($"), std::string::npos);
    const std::size_t winMain = report.find(" WinMain\r\n");
    ASSERT_NE(winMain, std::string::npos) << report;
    const std::string line =
        report.substr(report.rfind("\r\n", winMain) + 2, winMain - report.rfind("\r\n", winMain));
    EXPECT_NE(line.find(" corvan.exe "), std::string::npos) << line;
    EXPECT_NE(line.find(" main.cpp "), std::string::npos) << line;
    EXPECT_NE(report.find("TApplication::Run()"), std::string::npos) << report;
    // The thread that runs the trace is not a thread of the program.
    EXPECT_EQ(report.find("zelTraceProcess"), std::string::npos);
  }

  static PROCESS_INFORMATION process_;
  static LPTHREAD_START_ROUTINE export_;
};

PROCESS_INFORMATION TraceProcess::process_{};
LPTHREAD_START_ROUTINE TraceProcess::export_ = nullptr;

TEST_F(TraceProcess, WholeReportIntoALargeMapping) {
  ASSERT_NE(export_, nullptr);
  const std::string report = TraceIntoMapping(1 << 20, 1 << 20);
  ExpectWholeProcess(report);
  EXPECT_EQ(report.find('\xCC'), std::string::npos);
  // The lists of the settings' plugins, in their order, after the main thread.
  const std::size_t mainThread = report.find("\r\n\r\nmain thread ($");
  const std::size_t modules = report.find("\r\n\r\nmodules:\r\n00400000 corvan.exe ");
  const std::size_t processes = report.find("\r\n\r\nprocesses:\r\n");
  const std::size_t hardware = report.find("\r\n\r\nhardware:\r\n");
  EXPECT_LT(mainThread, modules);
  EXPECT_LT(modules, processes);
  EXPECT_LT(processes, hardware);
  EXPECT_NE(hardware, std::string::npos);
  char id[16];
  std::snprintf(id, sizeof id, "%lx corvan.exe ", process_.dwProcessId);
  EXPECT_NE(report.find(id, processes), std::string::npos) << report.substr(processes);
}

TEST_F(TraceProcess, NinetyNineCharactersAndANulForOneHundred) {
  ASSERT_NE(export_, nullptr);
  std::string tail;
  const std::string report = TraceIntoMapping(4096, 100, &tail);
  EXPECT_EQ(report.size(), 99u);
  EXPECT_EQ(report.rfind("date/time ", 0), 0u);
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(tail[0], '\0');
  EXPECT_EQ(tail.find_first_not_of('\xCC', 1), std::string::npos);  // nothing written beyond
}

TEST_F(TraceProcess, SizeZeroPutsTheReportOnTheClipboard) {
  ASSERT_NE(export_, nullptr);
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  CloseClipboard();
  EXPECT_EQ(RunRemote(0), 0u);
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_TEXT);
  std::string report;
  if (data) {
    report = static_cast<const char*>(GlobalLock(data));
    GlobalUnlock(data);
  }
  CloseClipboard();
  ExpectWholeProcess(report);
}

}  // namespace
