// An access violation in a message handler of corvan.exe itself: a thread
// the test places in the running program sends the application window a
// message whose pointer argument is bad, so the window procedure faults
// on the main thread. The report names the handler and its line, and the
// program goes on.
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/KeptReports.h"
#include "common/WinTestSupport.h"
#include "crash/core/BugReportFile.h"
#include "crash/faults/ChildFiles.h"

namespace {

using corvan::crash::test::Patience;

std::uintptr_t RemoteModuleBase(DWORD processId, const char* name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  MODULEENTRY32 module{};
  module.dwSize = sizeof module;
  std::uintptr_t base = 0;
  for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module)) {
    if (_stricmp(module.szModule, name) == 0) {
      base = reinterpret_cast<std::uintptr_t>(module.modBaseAddr);
      break;
    }
  }
  CloseHandle(snapshot);
  return base;
}

struct FindApplicationWindow {
  DWORD processId;
  HWND found = nullptr;
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    auto* search = reinterpret_cast<FindApplicationWindow*>(self);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    if (owner == search->processId && std::strcmp(name, "TApplication") == 0) {
      search->found = window;
      return FALSE;
    }
    return TRUE;
  }
};

TEST(CorvanFault, AccessViolationInAMessageHandlerIsReportedAndTheProgramGoesOn) {
  // A copy of the program in a folder of its own: its bug report file is
  // "bugreport.txt" beside it.
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string folder =
      std::string(temp) + "corvan-fault-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string exe = folder + "\\corvan.exe";
  ASSERT_TRUE(CopyFileA(CORVAN_EXE_PATH, exe.c_str(), FALSE));
  DeleteFileA((folder + "\\bugreport.txt").c_str());
  corvan::test::ClearKeptReports("corvan");
  std::string command = "\"" + exe + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             folder.c_str(), &startup, &process));
  WaitForInputIdle(process.hProcess, Patience(20000));
  FindApplicationWindow search{process.dwProcessId};
  for (int i = 0; i < Patience(100) && !search.found; ++i) {
    EnumWindows(FindApplicationWindow::Visit, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(100);
  }
  ASSERT_NE(search.found, nullptr);

  // SendMessageA(window, WM_GETMINMAXINFO, 0, 16) from a thread in the
  // program: its window procedure writes the minimum size through lParam.
  const std::uintptr_t user32 = RemoteModuleBase(process.dwProcessId, "user32.dll");
  ASSERT_NE(user32, 0u);
  const auto localUser32 = reinterpret_cast<std::uintptr_t>(GetModuleHandleA("user32.dll"));
  const auto sendMessage = reinterpret_cast<std::uintptr_t>(
      GetProcAddress(GetModuleHandleA("user32.dll"), "SendMessageA"));
  const std::uint32_t target = static_cast<std::uint32_t>(sendMessage - localUser32 + user32);
  const std::uint32_t window =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(search.found));
  std::uint8_t stub[] = {
      0x6A, 0x10,              // push 16 (lParam)
      0x6A, 0x00,              // push 0 (wParam)
      0x6A, 0x24,              // push WM_GETMINMAXINFO
      0x68, 0,    0,    0, 0,  // push window
      0xB8, 0,    0,    0, 0,  // mov eax, SendMessageA
      0xFF, 0xD0,              // call eax
      0xC2, 0x04, 0x00,        // ret 4
  };
  std::memcpy(stub + 7, &window, 4);
  std::memcpy(stub + 12, &target, 4);
  void* code =
      VirtualAllocEx(process.hProcess, nullptr, sizeof stub, MEM_COMMIT, PAGE_EXECUTE_READWRITE);
  ASSERT_NE(code, nullptr);
  ASSERT_TRUE(WriteProcessMemory(process.hProcess, code, stub, sizeof stub, nullptr));
  HANDLE thread =
      CreateRemoteThread(process.hProcess, nullptr, 0,
                         reinterpret_cast<LPTHREAD_START_ROUTINE>(code), nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  // The exception box asks the user; "continue application" lets it go on.
  HWND box = nullptr;
  for (int i = 0; i < Patience(300) && !box; ++i) {
    for (HWND w = FindWindowExA(nullptr, nullptr, "zelExceptWndClass", nullptr); w && !box;
         w = FindWindowExA(nullptr, w, "zelExceptWndClass", nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(w, &owner);
      if (owner == process.dwProcessId && IsWindowVisible(w)) box = w;
    }
    if (!box) Sleep(100);
  }
  ASSERT_NE(box, nullptr);
  HWND proceed = FindWindowExA(box, nullptr, "Button", "continue application");
  ASSERT_NE(proceed, nullptr);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(proceed), BN_CLICKED),
               reinterpret_cast<LPARAM>(proceed));
  EXPECT_EQ(WaitForSingleObject(thread, Patience(60000)), WAIT_OBJECT_0);
  CloseHandle(thread);

  std::string report;
  for (int i = 0; i < Patience(100) && report.empty(); ++i) {
    report = corvan::test::ReadWholeFile(folder + "\\bugreport.txt");
    if (report.empty()) Sleep(100);
  }
  Sleep(500);
  // The program goes on: it still answers its windows.
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD_PTR answer = 0;
  EXPECT_TRUE(
      SendMessageTimeoutA(search.found, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, Patience(5000), &answer));
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  SCOPED_TRACE(report);
  EXPECT_EQ(corvan::crash::ExtractHeaderValue(report, "exception class"), "EAccessViolation");
  EXPECT_EQ(corvan::crash::ExtractHeaderValue(report, "exception message")
                .rfind("Access violation at address $", 0),
            0u);
  EXPECT_NE(corvan::crash::ExtractHeaderValue(report, "exception message")
                .find("in module 'corvan.exe'. Write of address $"),
            std::string::npos);
  // The main thread first; its innermost line is the handler with its line.
  const std::size_t first = report.find("\r\n\r\n") + 4;
  EXPECT_EQ(report.find("main thread ($", first), first);
  const std::size_t lineStart = report.find("\r\n", first) + 2;
  const std::string innermost =
      report.substr(lineStart, report.find("\r\n", lineStart) - lineStart);
  EXPECT_NE(innermost.find(" corvan.exe "), std::string::npos) << innermost;
  EXPECT_NE(innermost.find(" Application.cpp "), std::string::npos) << innermost;
  EXPECT_NE(innermost.find("AppWindowProc"), std::string::npos) << innermost;
  EXPECT_NE(report.find("TApplication::Run()"), std::string::npos);
  // corvan.exe writes a minidump with the report: the report names it, and
  // it waits in the process's own temporary folder to be sent.
  const std::string dumpName = corvan::crash::ExtractHeaderValue(report, "minidump");
  EXPECT_EQ(dumpName.rfind("minidump-", 0), 0u) << dumpName;
  EXPECT_EQ(corvan::test::ReadWholeFile(std::string(temp) + "corvan.zelExcept\\" +
                                        std::to_string(process.dwProcessId) + "\\" + dumpName)
                .substr(0, 4),
            "MDMP");
  // The outside dump readers' test compares the dump with this report.
  if (const char* keep = std::getenv("CORVAN_KEEP_REPORT")) {
    CopyFileA((folder + "\\bugreport.txt").c_str(), keep, FALSE);
  }
  DeleteFileA((folder + "\\bugreport.txt").c_str());
  DeleteFileA(exe.c_str());
  // The report was not sent: the program kept it, for its next start to offer.
  corvan::test::ClearKeptReports("corvan");
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
