// Crashing child programs of ours, each checked through the bug report it
// writes: the class, message and location of the fault, the threads
// listed, where the pipeline saw it and whether the program went on.
#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <sstream>
#include <string>

#include "crash/core/BugReportFile.h"
#include "crash/core/CrashHandlerProtocol.h"
#include "crash/core/UnsentQueue.h"
#include "crash/faults/ChildFiles.h"

namespace {

std::string TempFolder(const std::string& name) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string folder =
      std::string(temp) + "corvan-faults-" + std::to_string(GetCurrentProcessId()) + "-" + name;
  CreateDirectoryA(folder.c_str(), nullptr);
  for (const char* file : {"bugreport.txt", "seen.txt", "continued.txt"})
    DeleteFileA((folder + "\\" + file).c_str());
  return folder;
}

struct ChildRun {
  DWORD exitCode = 0;
  ULONGLONG milliseconds = 0;
  std::string report, seen;
  bool continued = false;
};

ChildRun RunChild(const std::string& fault, const std::string& place) {
  const std::string folder = TempFolder(fault + "-" + place);
  std::string command = "\"" CORVAN_FAULT_CHILD "\" " + fault + " " + place + " \"" + folder + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ChildRun run;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start " << command;
    return run;
  }
  const ULONGLONG start = GetTickCount64();
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_TIMEOUT) {
    ADD_FAILURE() << fault << " " << place << ": still running";
    TerminateProcess(process.hProcess, 99);
  }
  run.milliseconds = GetTickCount64() - start;
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.report = corvan::test::ReadWholeFile(folder + "\\bugreport.txt");
  run.seen = corvan::test::ReadWholeFile(folder + "\\seen.txt");
  run.continued =
      GetFileAttributesA((folder + "\\continued.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
  return run;
}

struct Fault {
  const char* name;
  const char* className;
  const char* message;  // the start of "exception message"
  bool caught;          // becomes a C++ exception our frames catch
};

const Fault kFaults[] = {
    {"read", "EAccessViolation", "Access violation at address $", true},
    {"write", "EAccessViolation", "Access violation at address $", true},
    {"exec", "EAccessViolation", "Access Violation.", true},
    {"div0", "EDivByZero", "Division by zero.", true},
    {"stdthrow", "std::runtime_error", "standard exception thrown on purpose.", true},
    {"ownthrow", "EFaultChildError", "our own exception thrown on purpose.", true},
    {"overflow", "EStackOverflow", "Stack overflow.", false},
    {"abort", "ZelException", "Abnormal program termination.", false},
    {"terminate", "ZelException", "Abnormal program termination.", false},
    {"purevirtual", "ZelException", "Pure virtual function call.", false},
    // Wine's heap does not check itself: it follows the damaged links and
    // faults inside ntdll, which is not our code.
    {"heap", "EAccessViolation", "Access violation at address $", false},
};

struct Place {
  const char* name;
  int source;  // for exceptions our frames catch
  bool mainThread;
};

const Place kPlaces[] = {
    {"handler", 5, true}, {"thread", 16, false}, {"workitem", 16, false}, {"sync", 10, true}};

struct Expectation {
  int source;
  bool canContinue;
};

Expectation Expected(const Fault& f, const Place& p) {
  const std::string name = f.name;
  if (f.caught) return {p.source, true};
  if (name == "abort") return {11, false};
  if (name == "terminate" || name == "purevirtual") return {13, !p.mainThread};
  return {14, false};  // stack overflow, faults inside the system
}

class FaultCorpus : public ::testing::TestWithParam<std::tuple<Fault, Place>> {};

TEST_P(FaultCorpus, IsReportedAndTheProgramGoesOnOrEnds) {
  const auto& [fault, place] = GetParam();
  const ChildRun run = RunChild(fault.name, place.name);
  const Expectation expected = Expected(fault, place);
  SCOPED_TRACE(run.report);
  ASSERT_FALSE(run.report.empty());
  std::istringstream seen(run.seen);
  int source = -1, canContinue = -1;
  seen >> source >> canContinue;
  if (std::string(fault.name) != "heap") {
    EXPECT_EQ(source, expected.source);
    EXPECT_EQ(canContinue, expected.canContinue ? 1 : 0);
    EXPECT_EQ(corvan::crash::ExtractHeaderValue(run.report, "exception class"), fault.className);
    EXPECT_EQ(
        corvan::crash::ExtractHeaderValue(run.report, "exception message").rfind(fault.message, 0),
        0u)
        << corvan::crash::ExtractHeaderValue(run.report, "exception message");
  }
  // Going on: the program's own end; otherwise the reporter's (exit code 1).
  EXPECT_EQ(run.continued, expected.canContinue);
  EXPECT_EQ(run.exitCode, expected.canContinue ? 0u : 1u);
  // Every thread of the program is listed, the faulting one first.
  EXPECT_NE(run.report.find("\r\n\r\n"), std::string::npos);
  EXPECT_NE(run.report.find("\r\nmain thread ($"), std::string::npos);
  EXPECT_NE(run.report.find("\r\nidle worker ($"), std::string::npos);
  if (std::string(place.name) == "thread" && source != 14) {
    const std::size_t first = run.report.find("\r\n\r\n");
    EXPECT_EQ(run.report.compare(first + 4, 16, "faulting worker "), 0);
  }
  // The faulting thread's call stack names our function with its unit
  // and line; for a fault our frames catch, in the innermost line.
  const std::size_t sectionStart = run.report.find("\r\n\r\n") + 4;
  const std::string section =
      run.report.substr(sectionStart, run.report.find("\r\n\r\n", sectionStart) - sectionStart);
  const std::size_t firstLine = section.find("\r\n") + 2;
  const std::string innermost =
      section.substr(firstLine, section.find("\r\n", firstLine) - firstLine);
  const std::string where = std::string(fault.name) == "overflow" ? "Recurse(int)" : "Fault()";
  // A call into unmapped memory starts the stack at an address without
  // code; the tracer finds no frames above it yet.
  if (std::string(fault.name) != "exec") {
    EXPECT_NE(section.find("fault_child.cpp"), std::string::npos) << section;
    EXPECT_NE(section.find(where), std::string::npos) << section;
  }
  if (fault.caught && std::string(fault.name) != "exec") {
    EXPECT_NE(innermost.find(" fault_child.exe fault_child.cpp "), std::string::npos) << innermost;
    EXPECT_NE(innermost.find("Fault()"), std::string::npos) << innermost;
  }
}

std::string Name(const ::testing::TestParamInfo<std::tuple<Fault, Place>>& info) {
  return std::string(std::get<0>(info.param).name) + "_in_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultCorpus,
                         ::testing::Combine(::testing::ValuesIn(kFaults),
                                            ::testing::ValuesIn(kPlaces)),
                         Name);

// ---- States in-process reporting cannot survive ---------------------------
// Each is reported from outside by the crash handler process: the report
// is in the bug report file and the unsent queue within 10 s, with a dump
// whose exception names the faulting thread, the program is ended and the
// handler's box tells the user.

std::string ChildQueueFolder() {
  char local[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local))) return {};
  return std::string(local) + "\\fault_child\\unsent";
}

// The thread id of a dump's exception stream; 0 when it has none.
std::uint32_t DumpExceptionThread(const std::string& dump) {
  const auto word = [&](std::size_t at) {
    std::uint32_t value = 0;
    if (at + 4 <= dump.size()) std::memcpy(&value, dump.data() + at, 4);
    return value;
  };
  if (dump.compare(0, 4, "MDMP") != 0) return 0;
  const std::uint32_t streams = word(8), directory = word(12);
  for (std::uint32_t i = 0; i < streams; ++i) {
    if (word(directory + 12 * i) == 6) return word(word(directory + 12 * i + 8));
  }
  return 0;
}

// Closes the handler's box, which must come up.
bool CloseHandlerBox() {
  for (int i = 0; i < 100; ++i) {
    if (HWND box = FindWindowA("#32770", "fault_child.exe")) {
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      return true;
    }
    Sleep(50);
  }
  return false;
}

class AdverseState : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(AdverseState, IsReportedFromOutside) {
  const auto& [fault, place] = GetParam();
  const std::string queue = ChildQueueFolder();
  corvan::crash::RemoveKeptReports(queue);
  const ChildRun run = RunChild(fault, place);
  EXPECT_TRUE(CloseHandlerBox());
  SCOPED_TRACE(run.report);
  EXPECT_LT(run.milliseconds, 10000u);
  EXPECT_EQ(run.exitCode, corvan::crash::kEndedByCrashHandler);
  EXPECT_FALSE(run.continued);
  EXPECT_NE(run.report.find("the crash handler process: the faulting thread holds the"),
            std::string::npos);
  EXPECT_EQ(corvan::crash::ExtractHeaderValue(run.report, "exception class"), "EAccessViolation");
  EXPECT_EQ(corvan::crash::ExtractHeaderValue(run.report, "later faults"), "0");
  // The faulting thread comes first, innermost frame the faulting line.
  const std::size_t first = run.report.find("\r\n\r\n");
  ASSERT_NE(first, std::string::npos);
  const std::size_t end = run.report.find("\r\n\r\n", first + 4);
  const std::string section = run.report.substr(first + 4, end - first - 4);
  EXPECT_NE(section.find(", the faulting thread:"), std::string::npos) << section;
  EXPECT_NE(section.find("fault_child.exe fault_child.cpp "), std::string::npos) << section;
  EXPECT_NE(section.find("Fault()"), std::string::npos) << section;
  EXPECT_NE(run.report.find("\r\nmain thread ($"), std::string::npos);

  const corvan::crash::KeptReports kept = corvan::crash::ListKeptReports(queue);
  ASSERT_EQ(kept.reports.size(), 1u);
  EXPECT_NE(kept.reports[0].text.find(section), std::string::npos);
  std::string dump;
  for (const auto& attachment : kept.reports[0].attachments) {
    if (attachment.field == "MiniDump") dump = corvan::test::ReadWholeFile(attachment.source);
  }
  const std::string threadId = corvan::crash::ExtractHeaderValue(run.report, "thread id");
  EXPECT_EQ(DumpExceptionThread(dump), std::stoul(threadId.substr(1), nullptr, 16));
  corvan::crash::RemoveKeptReports(queue);
}

// The handler gone, a fault with the heap lock held ends the program at
// once instead of waiting for ever in-process.
TEST(AdverseStateWithoutHandler, HeapLockFaultEndsTheProgram) {
  const ChildRun run = RunChild("heaplock", "nohandler");
  EXPECT_LT(run.milliseconds, 10000u);
  EXPECT_EQ(run.exitCode, corvan::crash::kEndedUnreported);
  EXPECT_FALSE(run.continued);
}

INSTANTIATE_TEST_SUITE_P(Locks, AdverseState,
                         ::testing::Combine(::testing::Values("heaplock", "loaderlock"),
                                            ::testing::Values("handler", "thread")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_in_" +
                                  std::get<1>(info.param);
                         });

}  // namespace
