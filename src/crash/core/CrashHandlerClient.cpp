#include "crash/core/CrashHandlerClient.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/ReporterSettings.h"
#include "crash/core/ThreadPause.h"
#include "crash/core/UnsentQueue.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

// Long enough for a dump of a large process; a handler that takes longer
// is taken to be broken.
constexpr DWORD kHandOverWaitMs = 30000;

// Process-wide by nature: a fault hands over through it without
// allocating. Never destroyed, so that a fault during the program's static
// destruction still finds it; the system closes its handles at exit.
struct Client {
  ScopedHandle handler, request, done, mapping;
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

// The client once its handler runs; what a fault reads (a plain pointer:
// asking TheClient() first at a fault could allocate).
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

std::string Hex(HANDLE handle) {
  char text[16];
  std::snprintf(text, sizeof text, "%lx",
                static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(handle)));
  return text;
}

void CopyText(char (&target)[MAX_PATH], const std::string& text) {
  const std::size_t length = text.size() < MAX_PATH - 1 ? text.size() : 0;
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

void FillFromSettings(CrashHandlerBlock& block) {
  block.mainThreadId = MainThreadId();
  ReporterSettings* settings = ProcessSettingsRecords().MainSettings();
  if (!settings) return;
  block.showBox = 1;
  CopyText(block.bugReportFile,
           MakeAbsolutePath(settings->GetStr("BugRepFile"), FolderPart(ModulePath(nullptr))));
  block.sizeLimit = settings->GetInt("BugRepFileSize");
  if (settings->GetBool("KeepUnsent")) {
    CopyText(block.unsentFolder, UnsentQueueFolder());
    block.maxReports = settings->GetInt("UnsentMaxReports");
    const std::int32_t megabytes = settings->GetInt("UnsentMaxMB");
    block.maxBytes = megabytes > 0 ? std::uint32_t(megabytes) << 20 : 0;
  } else {
    block.unsentFolder[0] = '\0';
  }
}

bool Start() {
  Client& client = TheClient();
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  client.mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0,
                                          sizeof(CrashHandlerBlock), nullptr));
  client.request.reset(CreateEventA(&inherited, FALSE, FALSE, nullptr));
  client.done.reset(CreateEventA(&inherited, TRUE, FALSE, nullptr));
  HANDLE self = nullptr;
  if (!client.mapping || !client.request || !client.done ||
      !DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                       PROCESS_ALL_ACCESS, TRUE, 0)) {
    return false;
  }
  ScopedHandle ownHandle(self);
  client.view.reset(MapViewOfFile(client.mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
  if (!client.view) return false;
  std::string command = "\"" + ModulePath(nullptr) + "\" " + kCrashHandlerSwitch + " " + Hex(self) +
                        " " + Hex(client.mapping.get()) + " " + Hex(client.request.get()) + " " +
                        Hex(client.done.get());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  client.handler.reset(process.hProcess);
  LearnLocks();
  client.block = static_cast<CrashHandlerBlock*>(client.view.get());
  running = &client;
  return true;
}

}  // namespace

const char* CrashHandlerArguments() {
  const char* line = GetCommandLineA();
  const char* at = line ? std::strstr(line, kCrashHandlerSwitch) : nullptr;
  const std::size_t length = sizeof kCrashHandlerSwitch - 1;
  if (!at || at == line || at[-1] != ' ' || at[length] != ' ') return nullptr;
  return at + length;
}

bool IsCrashHandlerProcess() {
  static const bool handler = CrashHandlerArguments() != nullptr;
  return handler;
}

bool StartCrashHandler() {
  Client& client = TheClient();
  if (IsCrashHandlerProcess()) return false;
  if (!client.block && !Start()) return false;
  FillFromSettings(*client.block);
  return true;
}

bool HoldsProcessLock(HandOverReason& reason) {
  if (!running) return false;
  const Client& client = *running;
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

bool HandOverToCrashHandler(const EXCEPTION_POINTERS* info, HandOverReason reason) {
  if (!running) return false;
  const Client& client = *running;
  CrashHandlerBlock* block = client.block;
  if (!block || WaitForSingleObject(client.handler.get(), 0) != WAIT_TIMEOUT) return false;
  if (InterlockedExchange(&block->claimed, 1) != 0) {
    // Another thread's fault is with the handler, which ends the process.
    if (block->threadId != GetCurrentThreadId())
      WaitForSingleObject(client.handler.get(), kHandOverWaitMs);
    return false;
  }
  block->threadId = GetCurrentThreadId();
  block->reason = reason;
  block->exceptionPointers = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info));
  block->record = *info->ExceptionRecord;
  block->context = *info->ContextRecord;
  SetEvent(client.request.get());
  const HANDLE waits[] = {client.done.get(), client.handler.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, kHandOverWaitMs) != WAIT_OBJECT_0) return false;
  TerminateProcess(GetCurrentProcess(), 1);
  return true;
}

}  // namespace corvan::crash
