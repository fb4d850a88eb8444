// Crashing child programs of ours, each checked through the bug report it
// writes: the class, message and location of the fault, the threads
// listed, where the pipeline saw it and whether the program went on.
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>

#include "crash/core/BugReportFile.h"
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
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_TIMEOUT) {
    ADD_FAILURE() << fault << " " << place << ": still running";
    TerminateProcess(process.hProcess, 99);
  }
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

}  // namespace
