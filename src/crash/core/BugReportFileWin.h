#pragma once
// The bug report file on disk, and the two ways the reporter ends the
// program: closing it, and restarting it with the exception history
// handed to the new process.
#include <windows.h>

#include <cstdint>
#include <string>

#include "crash/core/BugReportFile.h"
#include "crash/core/ExceptionHistory.h"

namespace corvan::crash {

// Saves report into the file at path by the rules. The file is held
// exclusively from reading to writing; a save of another thread or process
// that holds it is waited for (up to waitMs), so concurrent saves never
// interleave and none is lost. A failed write puts the old content back.
bool AppendToBugReportFile(const std::string& path, const std::string& report,
                           const BugReportFileRules& rules, DWORD waitMs = 10000);

// Where a bug report goes when path cannot be written (a read-only program
// folder, a full disk): the same file name in the program's folder of the
// user's local application data, %LOCALAPPDATA%\<program>. Empty when the
// system names no such folder.
std::string FallbackBugReportFile(const std::string& path);
// Appends report to path, else to the fall-back file with the header line
// "bug report file" saying where it went and why. Returns the file
// written; empty when neither could be.
std::string SaveToBugReportFile(const std::string& path, const std::string& report,
                                const BugReportFileRules& rules);

// The file's size and time of last change, to learn whether another
// process changed it since it was read.
struct FileStamp {
  std::uint64_t size = 0;
  FILETIME written{};
  bool operator==(const FileStamp& other) const;
};
bool ReadFileWithStamp(const std::string& path, std::string& content, FileStamp& stamp);
// Deletes path only while it is still as stamp says (read before).
bool DeleteFileIfUnchanged(const std::string& path, const FileStamp& stamp);

// Exit code 1.
[[noreturn]] void TerminateProgram();
// Starts the program again with the same command line, hands history to it
// and ends this process with exit code 2 (also when the start failed).
[[noreturn]] void RestartProgram(const ExceptionHistory& history);
// At start-up of a restarted process: waits until the predecessor has
// ended and takes its history. False when this process was not restarted.
bool RestartHandOver(ExceptionHistory& history);

// The hand-over block of process id pid: "zelExceptRestart$" + hex id.
std::string RestartBlockName(DWORD pid);
// Creates the block for the new process (suspended): this process's id,
// the block's handle duplicated into it, history. Only the current user
// may open it. Returns this process's handle of the block (none on
// failure); the block lives on through the new process's handle.
HANDLE CreateRestartBlock(const PROCESS_INFORMATION& process, const ExceptionHistory& history);

}  // namespace corvan::crash
