#include "crash/core/CrashHandlerClient.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReporterSettings.h"
#include "crash/core/ThreadPause.h"
#include "crash/core/UnsentQueue.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

// Longer than the handler's own limit on a report (it guards itself and
// lets the program go when it cannot finish), so that the handler's end,
// not this wait, normally decides.
constexpr DWORD kHandOverWaitMs = kHandlerReportLimitMs + 10000;

// Process-wide by nature: a fault hands over through it without
// allocating. Never destroyed, so that a fault during the program's static
// destruction still finds it; the system closes its handles at exit.
struct Client {
  ScopedHandle handler, request, done, mapping, job;
  ScopedView view;
  CrashHandlerBlock* block = nullptr;
  // The owner words of the locks in-process reporting needs, found at
  // start-up; null when they could not be found.
  const volatile DWORD* heapLockOwner = nullptr;
  const volatile DWORD* crtHeapLockOwner = nullptr;
  const volatile DWORD* loaderLockOwner = nullptr;
};

Client& TheClient() {
  static auto* client = new Client;
  return *client;
}

// What a fault reads (plain pointers: asking TheClient() first at a fault
// could allocate): the client once its locks are learnt, and once its
// handler runs.
Client* volatile learnt = nullptr;
Client* volatile running = nullptr;

bool Readable(const void* address, std::size_t size) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
      (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) || !info.Protect)
    return false;
  const auto end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
  return reinterpret_cast<std::uintptr_t>(address) + size <= end;
}

// A critical section: DebugInfo, LockCount, RecursionCount, OwningThread.
constexpr std::size_t kOwnerWord = 3;

// The owner word of the lock that lock() takes and unlock() releases: a
// critical section inside the first bytes of base, or one a word there
// points to, whose owner is this thread while the lock is held and nobody
// after. The layout differs between systems, so it is learnt, not assumed.
template <typename Lock, typename Unlock>
const volatile DWORD* LearnLockOwner(const void* base, std::size_t span, Lock lock, Unlock unlock) {
  if (!base || !Readable(base, span)) return nullptr;
  const DWORD self = GetCurrentThreadId();
  const auto* words = static_cast<const volatile DWORD*>(base);
  const volatile DWORD* candidates[8] = {};
  std::size_t found = 0;
  if (!lock()) return nullptr;
  for (std::size_t i = kOwnerWord; i < span / 4 && found < 8; ++i) {
    if (words[i] == self && words[i - 1] >= 1) {
      candidates[found++] = &words[i];
      continue;
    }
    const auto* pointed = reinterpret_cast<const volatile DWORD*>(words[i]);
    if (words[i] > 0x10000 && !(words[i] & 3) && Readable(const_cast<const DWORD*>(pointed), 16) &&
        pointed[kOwnerWord] == self && pointed[kOwnerWord - 1] >= 1) {
      candidates[found++] = &pointed[kOwnerWord];
    }
  }
  unlock();
  for (std::size_t i = 0; i < found; ++i) {
    if (*candidates[i] != self) return candidates[i];
  }
  return nullptr;
}

void LearnLocks() {
  Client& client = TheClient();
  const HANDLE heap = GetProcessHeap();
  client.heapLockOwner = LearnLockOwner(
      heap, 0x400, [&] { return HeapLock(heap) != FALSE; }, [&] { HeapUnlock(heap); });
  // The C runtime's allocations may come from a heap of its own.
  using HeapHandleFn = intptr_t(__cdecl*)();
  if (auto crtHeapHandle = SystemFunction<HeapHandleFn>("msvcrt.dll", "_get_heap_handle")) {
    const auto crtHeap = reinterpret_cast<HANDLE>(crtHeapHandle());
    if (crtHeap && crtHeap != heap) {
      client.crtHeapLockOwner = LearnLockOwner(
          crtHeap, 0x400, [&] { return HeapLock(crtHeap) != FALSE; }, [&] { HeapUnlock(crtHeap); });
    }
  }
  using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
  auto lockLoader = SystemFunction<LockFn>("ntdll.dll", "LdrLockLoaderLock");
  auto unlockLoader = SystemFunction<UnlockFn>("ntdll.dll", "LdrUnlockLoaderLock");
  if (!lockLoader || !unlockLoader) return;
  // The process environment block names the loader lock (at 0xA0 on 32-bit
  // systems); the learning checks that it is the one the loader takes.
  const std::uint8_t* peb = nullptr;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
  if (!Readable(peb + 0xA0, 4)) return;
  const void* loaderLock = *reinterpret_cast<const void* const*>(peb + 0xA0);
  ULONG_PTR cookie = 0;
  client.loaderLockOwner = LearnLockOwner(
      loaderLock, 24, [&] { return lockLoader(0, nullptr, &cookie) >= 0; },
      [&] { unlockLoader(0, cookie); });
}

bool HeldBySelf(const volatile DWORD* owner) { return owner && *owner == GetCurrentThreadId(); }

void FillFromSettings(CrashHandlerBlock& block) {
  block.mainThreadId = MainThreadId();
  ReporterSettings* settings = ProcessSettingsRecords().MainSettings();
  if (!settings) return;
  block.showBox = 1;
  StoreText(block.bugReportFile,
            MakeAbsolutePath(settings->GetStr("BugRepFile"), FolderPart(ModulePath(nullptr))));
  block.sizeLimit = settings->GetInt("BugRepFileSize");
  if (settings->GetBool("KeepUnsent")) {
    StoreText(block.unsentFolder, UnsentQueueFolder());
    block.maxReports = settings->GetInt("UnsentMaxReports");
    const std::int32_t megabytes = settings->GetInt("UnsentMaxMB");
    block.maxBytes = megabytes > 0 ? std::uint32_t(megabytes) << 20 : 0;
  } else {
    block.unsentFolder[0] = '\0';
  }
}

std::uint32_t Value(HANDLE handle) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}

// A job that ends the handler when this process ends (its handle closes
// with the process). The handler takes a handle of its own to it while it
// reports, so that the program it ends does not take it along mid-report.
HANDLE HandlerJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job &&
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    job = nullptr;
  }
  return job;
}

// Starts the handler with exactly its own handles: inheritable copies,
// named in the start's handle list and closed here once it runs, so that
// no other child of the program (the VNC server, a setup, a restart) ever
// inherits them.
bool StartHandlerProcess(Client& client) {
  HANDLE own[4] = {GetCurrentProcess(), client.mapping.get(), client.request.get(),
                   client.done.get()};
  HANDLE passed[4] = {};
  ScopedHandle owners[4];
  for (int i = 0; i < 4; ++i) {
    if (!DuplicateHandle(GetCurrentProcess(), own[i], GetCurrentProcess(), &passed[i],
                         i == 0 ? PROCESS_ALL_ACCESS : 0, TRUE, i == 0 ? 0 : DUPLICATE_SAME_ACCESS))
      return false;
    owners[i].reset(passed[i]);
  }
  // A system that takes no handle list still gets the start, with the
  // copies as the only handles of the program that are inheritable.
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> listBytes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
  const bool initialised = size && InitializeProcThreadAttributeList(list, 1, 0, &size);
  const bool listed =
      initialised && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, passed,
                                               sizeof passed, nullptr, nullptr);
  std::string command =
      HandlerCommandLine(ModulePath(nullptr),
                         {Value(passed[0]), Value(passed[1]), Value(passed[2]), Value(passed[3])});
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = listed ? sizeof startup : sizeof startup.StartupInfo;
  startup.lpAttributeList = listed ? list : nullptr;
  PROCESS_INFORMATION process{};
  const bool started =
      CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                     (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) | CREATE_SUSPENDED, nullptr,
                     nullptr, &startup.StartupInfo, &process);
  if (initialised) DeleteProcThreadAttributeList(list);
  if (!started) return false;
  client.handler.reset(process.hProcess);
  // Without the job (the program's own job allows none) the handler still
  // ends with the program: it waits on the program's process handle.
  client.job.reset(HandlerJob());
  if (client.job && !AssignProcessToJobObject(client.job.get(), process.hProcess))
    client.job.reset();
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  return true;
}

bool Start() {
  Client& client = TheClient();
  client.mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(CrashHandlerBlock), nullptr));
  client.request.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  client.done.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!client.mapping || !client.request || !client.done) return false;
  client.view.reset(MapViewOfFile(client.mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
  if (!client.view) return false;
  auto* block = static_cast<CrashHandlerBlock*>(client.view.get());
  block->head = {kBlockMagic, kBlockVersion, sizeof(CrashHandlerBlock)};
  if (!StartHandlerProcess(client)) return false;
  block->job = Value(client.job.get());
  client.block = block;
  running = &client;
  return true;
}

// Records the fault in the block: the first one whole, a later one only
// counted.
void NoteFault(CrashHandlerBlock& block, const EXCEPTION_POINTERS* info) {
  if (ClaimFault(block.fault, GetCurrentThreadId()) != FaultClaim::First) return;
  block.exceptionPointers = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info));
  block.record = *info->ExceptionRecord;
  block.context = *info->ContextRecord;
}

}  // namespace

std::optional<HandlerHandles> CrashHandlerHandles() {
  const char* line = GetCommandLineA();
  return line ? ParseHandlerCommandLine(line) : std::nullopt;
}

bool IsCrashHandlerProcess() {
  static const bool handler = CrashHandlerHandles().has_value();
  return handler;
}

bool StartCrashHandler() {
  Client& client = TheClient();
  if (IsCrashHandlerProcess()) return false;
  // Lock detection works without a handler too: a fault that holds a lock
  // then ends the program instead of deadlocking in-process.
  if (!learnt) {
    LearnLocks();
    learnt = &client;
  }
  if (!client.block && !Start()) return false;
  FillFromSettings(*client.block);
  return true;
}

bool HoldsProcessLock(HandOverReason& reason) {
  if (!learnt) return false;
  const Client& client = *learnt;
  if (HeldBySelf(client.heapLockOwner) || HeldBySelf(client.crtHeapLockOwner)) {
    reason = HandOverReason::HeapLock;
    return true;
  }
  if (HeldBySelf(client.loaderLockOwner)) {
    reason = HandOverReason::LoaderLock;
    return true;
  }
  return false;
}

bool HeapLockHeldElsewhere(DWORD waitMs) {
  if (!learnt) return false;
  const DWORD self = GetCurrentThreadId();
  const DWORD start = GetTickCount();
  for (const volatile DWORD* owner : {learnt->heapLockOwner, learnt->crtHeapLockOwner}) {
    while (owner && *owner && *owner != self) {
      if (GetTickCount() - start >= waitMs) return true;
      Sleep(10);
    }
  }
  return false;
}

void NoteFirstFault(const EXCEPTION_POINTERS* info) {
  if (running && running->block) NoteFault(*running->block, info);
}

bool HandOverToCrashHandler(const EXCEPTION_POINTERS* info, HandOverReason reason) {
  if (!running) return false;
  const Client& client = *running;
  CrashHandlerBlock* block = client.block;
  if (!block) return false;
  // A fault not yet saved was noted when it arrived.
  if (reason != HandOverReason::NotSaved) NoteFault(*block, info);
  if (WaitForSingleObject(client.handler.get(), 0) != WAIT_TIMEOUT) return false;
  if (!ClaimHandOver(block->fault)) {
    // Another thread's hand-over is with the handler, which ends the process.
    WaitForSingleObject(client.handler.get(), kHandOverWaitMs);
    return false;
  }
  block->reason = reason;
  SetEvent(client.request.get());
  const HANDLE waits[] = {client.done.get(), client.handler.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, kHandOverWaitMs) != WAIT_OBJECT_0) return false;
  TerminateProcess(GetCurrentProcess(), kEndedByCrashHandler);
  return true;
}

void EndUnreported() {
  TerminateProcess(GetCurrentProcess(), kEndedUnreported);
  for (;;) Sleep(INFINITE);
}

}  // namespace corvan::crash
