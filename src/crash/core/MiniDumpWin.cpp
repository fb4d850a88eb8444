#include <windows.h>

#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "common/WinHandles.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/PeImage.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/Threads.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/MiniDump.h"
#include "crash/core/ReporterFolder.h"

namespace corvan::crash {
namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using SymCleanupFn = BOOL(WINAPI*)(HANDLE);

constexpr int kNameAttempts = 10;

// The fault's own record, or one made for a C++ throw at its throw site.
DumpException ExceptionOf(const ExceptionFacts& facts) {
  DumpException exception;
  exception.threadId = facts.crashedThreadId;
  const EXCEPTION_RECORD& record = facts.record;
  if (!record.ExceptionCode) {
    exception.code = kCppExceptionCode;
    exception.flags = EXCEPTION_NONCONTINUABLE;
    exception.address = facts.address;
    return exception;
  }
  exception.code = record.ExceptionCode;
  exception.flags = record.ExceptionFlags;
  exception.address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  const DWORD count = std::min<DWORD>(record.NumberParameters, EXCEPTION_MAXIMUM_PARAMETERS);
  exception.parameters.assign(record.ExceptionInformation, record.ExceptionInformation + count);
  return exception;
}

std::string ErrorText(DWORD error) { return "not written: system error " + std::to_string(error); }

// Creates the first free name of the report's time stamp in folder (with
// its trailing backslash).
ScopedFile CreateDumpFile(const std::string& folder, const LocalTime& stamp, std::string& name) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = MiniDumpFileName(stamp, attempt);
    ScopedFile file(CreateFileA((folder + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return ScopedFile();
}

// Dumps beyond this are not read back (a normal one is far smaller).
constexpr LONGLONG kMaxFinishedDump = 64 * 1024 * 1024;

// The CodeView record of the module loaded at base, read from its image
// in memory.
std::vector<std::uint8_t> LoadedCodeViewRecord(std::uint64_t base) {
  const LiveModuleBytes bytes(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(base)));
  return PeImage(bytes, ImageLayout::Mapped).CodeViewRecord();
}

// Reads the written dump back and completes it: with an exception, points
// its exception stream at its context and puts the stack bytes captured
// before unwinding back into the faulting thread's stack (while it waited
// for its report the thread reused the stack of the frames that threw or
// faulted, and a debugger walks the stack from the captured context); and
// gives each module the CodeView record Wine's writer leaves out, by which
// a walker finds its symbols.
bool FinishDump(HANDLE file, const ExceptionFacts& facts, bool withException) {
  // A dump without an exception is whole as written: one that cannot be
  // read back goes as it is, without the records.
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart > kMaxFinishedDump) return !withException;
  std::vector<std::uint8_t> dump(static_cast<std::size_t>(size.QuadPart));
  DWORD done = 0;
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !ReadFile(file, dump.data(), static_cast<DWORD>(dump.size()), &done, nullptr) ||
      done != dump.size()) {
    return !withException;
  }
  if (withException) {
    if (!SettleExceptionStream(dump)) return false;
    const StackPatch patch =
        FindStackPatch(dump, facts.crashedThreadId, facts.context.Esp, facts.stackBytes.size());
    std::copy_n(facts.stackBytes.begin(), patch.length, dump.begin() + patch.fileOffset);
  }
  AddCodeViewRecords(dump, LoadedCodeViewRecord);
  return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         WriteFile(file, dump.data(), static_cast<DWORD>(dump.size()), &done, nullptr) &&
         done == dump.size();
}

// Leaves the reporter's own threads out: the writer, busy writing, and
// those that wait for it or show the box.
BOOL CALLBACK LeaveOutReporter(void* reporter, PMINIDUMP_CALLBACK_INPUT input,
                               PMINIDUMP_CALLBACK_OUTPUT) noexcept {
  if (input->CallbackType == IncludeThreadCallback) {
    const auto& threads = *static_cast<const std::vector<DWORD>*>(reporter);
    return std::find(threads.begin(), threads.end(), input->IncludeThread.ThreadId) ==
           threads.end();
  }
  return TRUE;
}

std::string WriteDump(HANDLE file, const ExceptionFacts& facts, MiniDumpKind kind,
                      std::vector<DWORD> leftOut) {
  ScopedModule dbghelp(LoadSystemLibrary("dbghelp.dll"));
  const auto write = ModuleFunction<MiniDumpWriteDumpFn>(dbghelp.get(), "MiniDumpWriteDump");
  if (!write) return "not written: dbghelp.dll is missing";
  DumpSymbolSession symbols(dbghelp.get(), GetCurrentProcess());
  // Without an exception and its captured context (a freeze, a runtime
  // end) the dump shows every thread as it waits.
  const bool withException =
      facts.kind != ExceptionKind::Snapshot && facts.hasContext && facts.crashedThreadId != 0;
  std::vector<std::uint8_t> stream;
  if (withException) {
    const auto* context = reinterpret_cast<const std::uint8_t*>(&facts.context);
    stream = ExceptionStreamWithContext(ExceptionOf(facts), {context, sizeof facts.context});
  }
  MINIDUMP_USER_STREAM exceptionStream{ExceptionStream, static_cast<ULONG>(stream.size()),
                                       stream.data()};
  MINIDUMP_USER_STREAM_INFORMATION streams{1, &exceptionStream};
  leftOut.push_back(GetCurrentThreadId());
  MINIDUMP_CALLBACK_INFORMATION callback{LeaveOutReporter, &leftOut};
  if (!write(GetCurrentProcess(), GetCurrentProcessId(), file,
             static_cast<MINIDUMP_TYPE>(MiniDumpTypeOf(kind)), nullptr,
             withException ? &streams : nullptr, &callback)) {
    const DWORD error = GetLastError();
    return ErrorText(error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error);
  }
  if (!FinishDump(file, facts, withException)) {
    return withException ? "not written: the exception could not be completed"
                         : "not written: the dump could not be completed";
  }
  return {};
}

constexpr DWORD kCheckIntervalMs = 100;

// One dump in its writer thread. Whichever of the writer and its waiter
// settles state first decides whether the file is kept: a writer that
// ends after its waiter gave up deletes it. done is set once the file is
// settled, not at the thread's end, which waits for the loader lock.
struct DumpJob {
  enum State { Writing, Written, Abandoned };
  ScopedFile file;
  std::string path;
  ExceptionFacts facts;
  MiniDumpKind kind;
  std::vector<DWORD> leftOut;
  std::string failure;
  std::atomic<int> state{Writing};
  ScopedHandle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

DWORD WINAPI DumpWriter(void* param) noexcept {
  std::unique_ptr<std::shared_ptr<DumpJob>> handed(static_cast<std::shared_ptr<DumpJob>*>(param));
  DumpJob& job = **handed;
  try {
    job.failure = WriteDump(job.file.get(), job.facts, job.kind, job.leftOut);
  } catch (...) {
    job.failure = "not written: internal error";
  }
  job.file.reset();
  int writing = DumpJob::Writing;
  const bool waited = job.state.compare_exchange_strong(writing, DumpJob::Written);
  if (!waited || !job.failure.empty()) DeleteFileA(job.path.c_str());
  SetEvent(job.done.get());
  return 0;
}

// The answer for a dump whose writer never started; its file goes.
std::string NotStarted(ScopedFile& file, const std::string& path, std::string why) {
  file.reset();
  DeleteFileA(path.c_str());
  return why;
}

// Waits for the writer in slices, letting go of any thread it holds
// suspended for longer than a slice; gives it up at timeoutMs.
std::string AwaitWriter(DumpJob& job, SuspendWatch& watch, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD slice =
        now >= deadline ? 0
                        : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kCheckIntervalMs));
    if (WaitForSingleObject(job.done.get(), slice) != WAIT_TIMEOUT) break;
    if (slice == 0) {
      int writing = DumpJob::Writing;
      if (job.state.compare_exchange_strong(writing, DumpJob::Abandoned)) {
        watch.ReleaseAll();
        return "not written: timed out";
      }
      WaitForSingleObject(job.done.get(), INFINITE);  // written, only settling the file
      break;
    }
    watch.Check();
  }
  watch.ReleaseAll();
  return job.failure;
}

// Writes into file in a thread of its own and closes it; a file left
// without a dump is deleted. A writer not done within timeoutMs is left to
// itself: ending it could leave the heap's lock held.
std::string WriteBounded(ScopedFile file, const std::string& path, const ExceptionFacts& facts,
                         MiniDumpKind kind, DWORD timeoutMs) {
  // Neither the writer's thread nor dbghelp can start while another
  // thread holds the loader lock, which may be the one that faulted.
  if (IsLoaderLockHeld(250)) return NotStarted(file, path, "not written: the loader lock is held");
  auto job = std::make_shared<DumpJob>();
  if (!job->done) return NotStarted(file, path, ErrorText(GetLastError()));
  SuspendWatch watch;
  auto handed = std::make_unique<std::shared_ptr<DumpJob>>(job);
  DWORD id = 0;
  ScopedHandle writer(CreateThread(nullptr, 0, DumpWriter, handed.get(), CREATE_SUSPENDED, &id));
  if (!writer) return NotStarted(file, path, ErrorText(GetLastError()));
  handed.release();  // the writer's now
  job->file = std::move(file);
  job->path = path;
  job->facts = facts;
  job->kind = kind;
  job->leftOut = {GetCurrentThreadId(), HandlingThreadId()};
  SetThreadName(id, "-");
  ResumeThread(writer.get());
  return AwaitWriter(*job, watch, timeoutMs);
}

}  // namespace

DumpSymbolSession::DumpSymbolSession(HMODULE dbghelp, HANDLE process)
    : process_(process), cleanup_(ModuleFunction<SymCleanupFn>(dbghelp, "SymCleanup")) {
  const auto initialize = ModuleFunction<SymInitializeFn>(dbghelp, "SymInitialize");
  const bool wasSet = GetEnvironmentVariableA(kNotLive, nullptr, 0) != 0;
  if (!wasSet) SetEnvironmentVariableA(kNotLive, "1");
  open_ = cleanup_ && initialize && initialize(process, nullptr, FALSE);
  if (!wasSet) SetEnvironmentVariableA(kNotLive, nullptr);
}

DumpSymbolSession::~DumpSymbolSession() {
  if (open_) cleanup_(process_);
}

std::string WriteMiniDumpFile(const std::string& path, const ExceptionFacts& facts,
                              MiniDumpKind kind, DWORD timeoutMs) noexcept {
  try {
    ScopedFile file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ErrorText(GetLastError());
    return WriteBounded(std::move(file), path, facts, kind, timeoutMs);
  } catch (...) {
    return "not written: internal error";
  }
}

std::string AttachMiniDump(ExceptionReport& report) noexcept {
  try {
    const std::string folder = PreparedReporterTempFolder();
    if (folder.empty()) return "not written: no temporary folder";
    std::string name;
    const LocalTime stamp = report.Created();
    ScopedFile file = CreateDumpFile(folder, stamp, name);
    if (!file) return ErrorText(GetLastError());
    const std::string path = folder + name;
    const MiniDumpKind kind =
        ParseMiniDumpKind(report.GetStr("MiniDumpKind")).value_or(MiniDumpKind::Normal);
    const std::string failure =
        WriteBounded(std::move(file), path, report.Facts(), kind, kMiniDumpTimeoutMs);
    if (!failure.empty()) return failure;
    report.AdditionalAttachments()->AddFile(path, name, "MiniDump", report.GetStr("BugRepZip"));
    return name;
  } catch (...) {
    return "not written: internal error";
  }
}

}  // namespace corvan::crash
