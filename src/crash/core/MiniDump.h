#pragma once
// The minidump that goes with a bug report, so that a developer can open
// the crash in a debugger: the dump the settings ask for ("MiniDump" on or
// off, "MiniDumpKind") and the name of its file. The dump itself is written
// by MiniDumpWin.cpp with the system's MiniDumpWriteDump.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crash/core/SettingsVariables.h"

namespace corvan::crash {

enum class MiniDumpKind {
  Normal,            // threads, their stacks, the module list, the exception
  WithDataSegments,  // also the writable data of every module
};

// The setting's texts "normal" and "with data segments", compared without
// regard to case and surrounding blanks; nothing for any other text.
std::optional<MiniDumpKind> ParseMiniDumpKind(std::string_view text);

// The MINIDUMP_TYPE flags for kind.
std::uint32_t MiniDumpTypeOf(MiniDumpKind kind);

// "minidump-20240307-090501.dmp" for the report made at stamp; a second
// file of the same second (attempt 1, 2, ...) gets "-2", "-3", ... before
// the extension.
std::string MiniDumpFileName(const LocalTime& stamp, int attempt = 0);

// Where stack bytes captured at address, before the thread unwound and
// reused that stack, belong in a dump file: inside the stack memory the
// dump's thread list holds for threadId. length is byteCount cut to that
// memory; 0 when the dump holds no such stack or is malformed (every
// offset is checked against the file).
struct StackPatch {
  std::uint32_t fileOffset = 0;
  std::uint32_t length = 0;
};
StackPatch FindStackPatch(std::span<const std::uint8_t> dump, std::uint32_t threadId,
                          std::uint64_t address, std::size_t byteCount);

// The exception of a dump as the writer is given it: a user stream of the
// exception stream's type, the processor context right behind the
// stream's 168 bytes. (Handed over as the writer's own exception, Wine
// would give its context to the writing thread, with that thread's whole
// stack.) SettleExceptionStream then points the written stream at its
// context and gives the stream its own size; false when the dump holds no
// stream written that way.
struct DumpException {
  std::uint32_t threadId = 0;
  std::uint32_t code = 0, flags = 0;
  std::uint64_t address = 0;
  std::vector<std::uint64_t> parameters;  // 15 at most are kept
};
std::vector<std::uint8_t> ExceptionStreamWithContext(const DumpException& exception,
                                                     std::span<const std::uint8_t> context);
bool SettleExceptionStream(std::span<std::uint8_t> dump);

// Gives every module of the dump's module list that has no CodeView
// record the one recordOf returns for its base (empty: none), appended at
// the end of the file: a walker finds a module's symbols by that record,
// and Wine's writer leaves it out. Returns the number of records added;
// a malformed dump is left as it is.
std::size_t AddCodeViewRecords(
    std::vector<std::uint8_t>& dump,
    const std::function<std::vector<std::uint8_t>(std::uint64_t base)>& recordOf);

// The code a C++ throw is recorded with in the dump: the one debuggers and
// dump readers name as a C++ exception. The record carries no parameters,
// since this runtime has no throw information of that form.
inline constexpr std::uint32_t kCppExceptionCode = 0xE06D7363;

}  // namespace corvan::crash

#ifdef _WIN32
#include <windows.h>

namespace corvan::crash {

struct ExceptionFacts;
class ExceptionReport;

// A symbol session for process that reads no module: Wine's
// MiniDumpWriteDump otherwise opens one that loads the symbols of every
// module, which takes most of a second. Opened as a session of a process
// that is not live Wine's own (the variable means nothing to Windows), it
// also leaves out the host's ELF libraries, which a dump would otherwise
// read whole for their checksums: a fifth of the dump's time.
class DumpSymbolSession {
 public:
  DumpSymbolSession(HMODULE dbghelp, HANDLE process);
  ~DumpSymbolSession();
  DumpSymbolSession(const DumpSymbolSession&) = delete;
  DumpSymbolSession& operator=(const DumpSymbolSession&) = delete;

 private:
  static constexpr char kNotLive[] = "DBGHELP_NOLIVE";
  HANDLE process_;
  BOOL(WINAPI* cleanup_)(HANDLE);
  bool open_ = false;
};

// How long a dump may take before the report goes without it.
inline constexpr DWORD kMiniDumpTimeoutMs = 10000;

// Writes the dump of this process to path (a new file) with dbghelp's
// MiniDumpWriteDump, loaded for the call: every thread with its stack but
// the reporter's own, and the exception of the faulting thread
// (facts.crashedThreadId) with the context captured for it and the stack
// bytes captured before unwinding. A C++ throw gets a record made from its
// throw site. The writer runs in a thread of its own; after timeoutMs it
// is left to itself ("not written: timed out"), and no thread stays
// suspended by it. Returns empty on success, else why there is no dump; a
// partly written file is deleted (by a late writer once it ends). Never
// throws.
std::string WriteMiniDumpFile(const std::string& path, const ExceptionFacts& facts,
                              MiniDumpKind kind, DWORD timeoutMs = kMiniDumpTimeoutMs) noexcept;

// Writes report's dump into the reporter's temporary folder, named after
// the report's time stamp, and attaches it to the report (in the bug
// report's zip archive when the settings zip it). Returns the report's line
// about it: the file name, or why the report goes without one.
std::string AttachMiniDump(ExceptionReport& report) noexcept;

}  // namespace corvan::crash
#endif
