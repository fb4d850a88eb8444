#include "crash/handler/CrashHandler.h"

#include <windows.h>
#include <dbghelp.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/WinHandles.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/core/BugReportFileWin.h"
#include "crash/core/CrashHandlerClient.h"
#include "crash/core/ExceptionClasses.h"
#include "crash/core/ExceptionDescription.h"
#include "crash/core/MiniDump.h"
#include "crash/core/ReportText.h"
#include "crash/core/UnsentQueue.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr int kMaxFrames = 64;

struct Handles {
  ScopedHandle process, mapping, request, done;
};

bool TakeHandles(Handles& handles) {
  const std::optional<HandlerHandles> given = CrashHandlerHandles();
  if (!given) return false;
  const auto handle = [](std::uint32_t value) {
    return reinterpret_cast<HANDLE>(std::uintptr_t(value));
  };
  handles.process.reset(handle(given->process));
  handles.mapping.reset(handle(given->block));
  handles.request.reset(handle(given->request));
  handles.done.reset(handle(given->done));
  return true;
}

// ---- The guard -------------------------------------------------------------
// The handler suspends the program's threads first; if it then hangs or
// faults, the guard lets them go again and ends the handler, so that the
// program's own fall-back can run instead of staying frozen for good.

constexpr LONG kMaxGuarded = 4096;
HANDLE suspended[kMaxGuarded];
volatile LONG suspendedCount = 0;
volatile LONG released = 0;

void ReleaseProgram() {
  if (InterlockedExchange(&released, 1)) return;
  const LONG count = suspendedCount < kMaxGuarded ? suspendedCount : kMaxGuarded;
  for (LONG i = 0; i < count; ++i) ResumeThread(suspended[i]);
}

// The handler's exit code when its guard gave up: the program goes on.
constexpr UINT kHandlerGaveUp = 4;

LONG WINAPI GuardFilter(EXCEPTION_POINTERS*) {
  ReleaseProgram();
  TerminateProcess(GetCurrentProcess(), kHandlerGaveUp);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI GuardThread(void* finished) {
  if (WaitForSingleObject(finished, kHandlerReportLimitMs) == WAIT_TIMEOUT) {
    ReleaseProgram();
    TerminateProcess(GetCurrentProcess(), kHandlerGaveUp);
  }
  return 0;
}

struct ClientModule {
  std::uint32_t base = 0, size = 0;
  std::string name, path;
};

std::vector<ClientModule> ClientModules(DWORD processId) {
  std::vector<ClientModule> modules;
  ScopedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && Module32First(snapshot.get(), &entry); more;
       more = Module32Next(snapshot.get(), &entry)) {
    modules.push_back(
        {static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry.modBaseAddr)),
         entry.modBaseSize, entry.szModule, entry.szExePath});
  }
  return modules;
}

const ClientModule* ModuleAt(const std::vector<ClientModule>& modules, std::uint32_t address) {
  for (const ClientModule& m : modules) {
    if (address >= m.base && address - m.base < m.size) return &m;
  }
  return nullptr;
}

struct ClientThread {
  DWORD id = 0;
  ScopedHandle handle;
  CONTEXT context{};
  bool hasContext = false;
};

// Every thread of the program, suspended, with its registers.
std::vector<ClientThread> SuspendThreads(DWORD processId) {
  std::vector<ClientThread> threads;
  ScopedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != processId) continue;
    ClientThread thread;
    thread.id = entry.th32ThreadID;
    thread.handle.reset(OpenThread(
        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, thread.id));
    if (thread.handle && suspendedCount < kMaxGuarded &&
        SuspendThread(thread.handle.get()) != DWORD(-1)) {
      suspended[suspendedCount] = thread.handle.get();
      InterlockedIncrement(&suspendedCount);
      thread.context.ContextFlags = CONTEXT_FULL;
      thread.hasContext = GetThreadContext(thread.handle.get(), &thread.context) != FALSE;
    }
    threads.push_back(std::move(thread));
  }
  return threads;
}

// The return addresses of the frame-pointer chain, innermost first.
std::vector<std::uint32_t> StackOf(HANDLE process, const CONTEXT& context) {
  std::vector<std::uint32_t> frames{static_cast<std::uint32_t>(context.Eip)};
  std::uint32_t frame = context.Ebp;
  for (int i = 0; i < kMaxFrames && frame; ++i) {
    std::uint32_t pair[2] = {};
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<const void*>(std::uintptr_t(frame)), pair,
                           sizeof pair, &read) ||
        read != sizeof pair || !pair[1]) {
      break;
    }
    frames.push_back(pair[1]);
    if (pair[0] <= frame) break;
    frame = pair[0];
  }
  return frames;
}

// "0040123A fault_child.exe fault_child.cpp 77 Fault()": the program's own
// executable is named from its map (this process runs the same file), a
// system module from its exports when it lies at the same place here.
std::string FrameLine(const std::vector<ClientModule>& modules, std::uint32_t address) {
  std::string line = HexText(address).substr(1);
  const ClientModule* module = ModuleAt(modules, address);
  if (!module) return line;
  line += " " + module->name;
  const std::uint32_t ownBase =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
  const bool ownFile = _stricmp(module->path.c_str(), ModulePath(nullptr).c_str()) == 0;
  const HMODULE here = GetModuleHandleA(module->name.c_str());
  TCodeLocation location;
  if (ownFile && LookupAddress(address - module->base + ownBase, location)) {
    line += " " + location.UnitName;
    if (location.Line > 0) line += " " + std::to_string(location.Line);
    return line + " " + location.PublicName;
  }
  if (here && reinterpret_cast<std::uintptr_t>(here) == module->base) {
    const std::string name =
        ExportNameAt(here, reinterpret_cast<const void*>(std::uintptr_t(address)));
    if (!name.empty()) return line + " " + name;
  }
  return line + " +" + HexText(address - module->base).substr(1);
}

const char* ReasonText(HandOverReason reason) {
  switch (reason) {
    case HandOverReason::HeapLock:
      return "the faulting thread holds the heap lock";
    case HandOverReason::LoaderLock:
      return "the faulting thread holds the loader lock";
    case HandOverReason::ReporterThread:
      return "the fault is in the crash reporter's own thread";
    case HandOverReason::SecondFault:
      return "a second fault while reporting";
    case HandOverReason::NotSaved:
      return "the report was not saved in time";
    case HandOverReason::HeapLockElsewhere:
      return "another thread holds the heap lock";
  }
  return "unknown";
}

LocalTime Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::string ReportOf(HANDLE process, const CrashHandlerBlock& block,
                     const std::vector<ClientThread>& threads,
                     const std::vector<ClientModule>& modules, const LocalTime& now,
                     const std::string& dumpLine) {
  const EXCEPTION_RECORD& record = block.record;
  FaultFacts fault;
  fault.code = record.ExceptionCode;
  fault.address =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
  if (const ClientModule* module = ModuleAt(modules, fault.address))
    fault.moduleName = module->name;
  if (record.NumberParameters >= 2) {
    fault.write = record.ExceptionInformation[0] != 0;
    fault.dataAddress = static_cast<std::uint32_t>(record.ExceptionInformation[1]);
  }
  const std::string executable = modules.empty() ? std::string() : modules.front().path;
  FieldPairs header = {
      {"date/time", ReportDateTimeText(now)},
      {"computer name", ComputerName()},
      {"executable", FileNamePart(executable)},
      {"process id", HexText(GetProcessId(process))},
      {"exception number", "1"},
      {"exception class", ClassName(FaultClass(record.ExceptionCode))},
      {"exception message", FaultMessage(fault)},
      {"exception address", HexText(fault.address)},
      {"thread id", HexText(block.fault.threadId)},
      {"later faults", std::to_string(block.fault.laterFaults)},
      {"reported by", std::string("the crash handler process: ") + ReasonText(block.reason)},
      {"minidump", dumpLine},
  };
  FieldPairs sections;
  const auto add = [&](const ClientThread& thread, const CONTEXT& context) {
    std::string title = thread.id == block.mainThreadId ? "main thread (" + HexText(thread.id) + ")"
                                                        : "thread " + HexText(thread.id);
    if (thread.id == block.fault.threadId) title += ", the faulting thread";
    std::string lines;
    for (std::uint32_t address : StackOf(process, context)) {
      if (!lines.empty()) lines += "\r\n";
      lines += FrameLine(modules, address);
    }
    sections.emplace_back(title + ":", lines);
  };
  for (const ClientThread& thread : threads) {
    if (thread.id == block.fault.threadId) add(thread, block.context);
  }
  for (const ClientThread& thread : threads) {
    if (thread.id != block.fault.threadId && thread.hasContext) add(thread, thread.context);
  }
  return RenderReport(header, sections);
}

std::string TempFolder() {
  char temp[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, temp);
  return length && length < MAX_PATH ? std::string(temp, length) : std::string();
}

// The dump of the program from outside, with the faulting thread's
// exception as the program saw it. Empty on success, else why not.
std::string WriteDump(HANDLE process, const CrashHandlerBlock& block, const std::string& path) {
  using WriteFn =
      BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                    PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
  const auto write = SystemFunction<WriteFn>("dbghelp.dll", "MiniDumpWriteDump");
  if (!write) return "not written: dbghelp.dll is missing";
  const DumpSymbolSession symbols(GetModuleHandleA("dbghelp.dll"), process);
  ScopedFile file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return "not written: " + std::to_string(GetLastError());
  MINIDUMP_EXCEPTION_INFORMATION exception{
      block.fault.threadId,
      reinterpret_cast<EXCEPTION_POINTERS*>(std::uintptr_t(block.exceptionPointers)), TRUE};
  if (!write(process, GetProcessId(process), file.get(),
             static_cast<MINIDUMP_TYPE>(MiniDumpTypeOf(MiniDumpKind::Normal)), &exception, nullptr,
             nullptr)) {
    const DWORD error = GetLastError();
    file.reset();
    DeleteFileA(path.c_str());
    return "not written: " + std::to_string(error);
  }
  return {};
}

void TellUser(const CrashHandlerBlock& block) {
  if (!block.showBox) return;
  const wchar_t* text =
      L"Het programma is gestopt door een ernstige fout.\n\n"
      L"Het foutrapport is bewaard en wordt bij de volgende start aangeboden om te verzenden.";
  MessageBoxW(nullptr, text, WideFromAnsi(FileNamePart(ModulePath(nullptr))).c_str(),
              MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
}

void ReportFromOutside(HANDLE process, const CrashHandlerBlock& block, HANDLE done,
                       HANDLE finished) {
  const DWORD processId = GetProcessId(process);
  std::vector<ClientThread> threads = SuspendThreads(processId);
  const std::vector<ClientModule> modules = ClientModules(processId);
  const LocalTime now = Now();
  const std::string dumpName = MiniDumpFileName(now);
  const std::string dumpPath = TempFolder() + dumpName;
  // The report first: it is on disk before the dump, which takes longer.
  std::string report = ReportOf(process, block, threads, modules, now, dumpName);
  const std::string bugReportFile = BoundedText(block.bugReportFile);
  const std::string unsentFolder = BoundedText(block.unsentFolder);
  if (!bugReportFile.empty()) {
    BugReportFileRules rules;
    rules.sizeLimit = block.sizeLimit;
    rules.noDuplicates = false;
    SaveToBugReportFile(bugReportFile, report, rules);
  }
  const std::string dumpError = WriteDump(process, block, dumpPath);
  if (!dumpError.empty()) report = ReportOf(process, block, threads, modules, now, dumpError);
  if (!unsentFolder.empty()) {
    std::vector<AttachmentEntry> attachments = {{"", "bugreport.txt", "", "BugReport"}};
    if (dumpError.empty()) attachments.push_back({dumpPath, dumpName, "", "MiniDump"});
    KeepReport(unsentFolder, report, attachments,
               {block.maxReports, std::uint64_t(block.maxBytes)});
  }
  DeleteFileA(dumpPath.c_str());
  TerminateProcess(process, kEndedByCrashHandler);
  SetEvent(done);
  // The program is ended: nothing left to guard or let go.
  InterlockedExchange(&released, 1);
  SetEvent(finished);
  TellUser(block);
}

}  // namespace

void ServeCrashHandler() {
  if (!IsCrashHandlerProcess()) {
    StartCrashHandler();
    return;
  }
  Handles handles;
  if (!TakeHandles(handles)) ExitProcess(2);
  ScopedView view(MapViewOfFile(handles.mapping.get(), FILE_MAP_READ, 0, 0, 0));
  // Idle until the program ends (then this ends too) or hands over a fault.
  const HANDLE waits[] = {handles.request.get(), handles.process.get()};
  if (!view || WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) ExitProcess(0);
  CrashHandlerBlock block;
  std::memcpy(&block, view.get(), sizeof block);
  if (!BlockHeadFits(block.head, sizeof block)) ExitProcess(2);  // another build's block
  // A handle of our own to the program's job keeps it open, and this
  // process alive, when the program it is about to end goes.
  HANDLE job = nullptr;
  DuplicateHandle(handles.process.get(), reinterpret_cast<HANDLE>(std::uintptr_t(block.job)),
                  GetCurrentProcess(), &job, 0, FALSE, DUPLICATE_SAME_ACCESS);
  const ScopedHandle ownJob(job);
  SetUnhandledExceptionFilter(GuardFilter);
  const ScopedHandle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const ScopedHandle guard(
      finished ? CreateThread(nullptr, 64 * 1024, GuardThread, finished.get(), 0, nullptr)
               : nullptr);
  if (!guard) ExitProcess(2);  // unguarded, the program's own limit decides
  try {
    ReportFromOutside(handles.process.get(), block, handles.done.get(), finished.get());
  } catch (...) {
    // Suspensions outlive this process: a report that cannot finish must
    // let the program go before it ends.
    ReleaseProgram();
    ExitProcess(kHandlerGaveUp);
  }
  ExitProcess(0);
}

}  // namespace corvan::crash
