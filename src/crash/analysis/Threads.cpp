#include "crash/analysis/Threads.h"

#include <tlhelp32.h>

#include <cstring>
#include <mutex>

#include "common/WinHandles.h"
#include "crash/analysis/SafeRead.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using OpenThreadFn = HANDLE(WINAPI*)(DWORD, BOOL, DWORD);

constexpr ULONG kSystemProcessInformation = 5;
constexpr std::size_t kThreadRecordSize = 64;
constexpr std::size_t kThreadIdOffset = 36;
constexpr std::size_t kProcessIdOffset = 0x44;

// Process record header size: 136 bytes on Windows NT 3 and 4.
std::size_t ProcessHeaderSize() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExA(&version);
#pragma GCC diagnostic pop
  return version.dwMajorVersion < 5 ? 136 : 184;
}

std::vector<DWORD> ThreadsFromSystemInformation() {
  std::vector<DWORD> ids;
  const auto query = reinterpret_cast<NtQuerySystemInformationFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return ids;
  ULONG needed = 0;
  query(kSystemProcessInformation, nullptr, 0, &needed);
  std::vector<std::uint8_t> buffer;
  std::size_t size = needed ? needed * 2 : 0x20000;
  for (;;) {
    buffer.assign(size, 0);
    if (query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(size), &needed) >= 0)
      break;
    if (size >= 0x400000) return ids;
    size *= 2;
  }
  const std::size_t header = ProcessHeaderSize();
  const DWORD self = GetCurrentProcessId();
  std::size_t at = 0;
  for (;;) {
    if (at + header > buffer.size()) return ids;
    const std::uint8_t* process = buffer.data() + at;
    std::uint32_t next, count;
    std::uintptr_t pid;
    std::memcpy(&next, process, 4);
    std::memcpy(&count, process + 4, 4);
    std::memcpy(&pid, process + kProcessIdOffset, sizeof pid);
    if (pid == self) {
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t record = at + header + i * kThreadRecordSize;
        if (record + kThreadRecordSize > buffer.size()) break;
        std::uintptr_t tid;
        std::memcpy(&tid, buffer.data() + record + kThreadIdOffset, sizeof tid);
        ids.push_back(static_cast<DWORD>(tid));
      }
      return ids;
    }
    if (next == 0) return ids;
    at += next;
  }
}

std::vector<DWORD> ThreadsFromToolhelp() {
  std::vector<DWORD> ids;
  const ScopedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snapshot.get(), &entry); ok;
       ok = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  }
  return ids;
}

// The process-wide list: head and mutex handle in a named block that all
// modules of the process open; the mutex also serialises its creation.
struct SharedThreadBlock {
  ThreadInfoRecord* head;
  HANDLE mutex;
};

class ThreadInfoList {
 public:
  static ThreadInfoList& Instance() {
    static ThreadInfoList list;
    return list;
  }

  bool Lock(DWORD waitMs) {
    if (!block_) return false;
    const DWORD r = WaitForSingleObject(block_->mutex, waitMs);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
  }
  void Unlock() { ReleaseMutex(block_->mutex); }
  ThreadInfoRecord*& Head() { return block_->head; }

 private:
  ThreadInfoList() {
    const std::string suffix = HexText(GetCurrentProcessId());
    // The block holds pointers the process follows: never another account's.
    ScopedHandle mutex(CreateOwnMutex("zelExceptThreadNameMtx" + suffix));
    if (!mutex) return;
    const DWORD waited = WaitForSingleObject(mutex.get(), kNamedMutexWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return;
    bool created = false;
    mapping_ =
        CreateOwnMapping("zelExceptThreadNameBuf" + suffix, sizeof(SharedThreadBlock), created);
    if (mapping_)
      block_ =
          static_cast<SharedThreadBlock*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (block_ && created) {
      block_->head = nullptr;
      block_->mutex = mutex.get();  // a handle is valid in every module of the process
    }
    ReleaseMutex(mutex.get());
    // Later modules use the creator's handle, kept open for the process.
    if (block_ && created) mutex.release();
  }
  // The block stays mapped until the process ends: records outlive modules.

  HANDLE mapping_ = nullptr;  // never closed, like the view
  SharedThreadBlock* block_ = nullptr;
};

class ListLock {
 public:
  ListLock(ThreadInfoList& list, DWORD waitMs) : list_(list), locked_(list.Lock(waitMs)) {}
  ~ListLock() {
    if (locked_) list_.Unlock();
  }
  explicit operator bool() const { return locked_; }

 private:
  ThreadInfoList& list_;
  bool locked_;
};

char* HeapText(const std::string& text) {
  if (text.empty()) return nullptr;
  auto* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

std::string Text(const char* s) { return s ? SafeReadString(s, kMaxThreadName) : std::string(); }

// Reads a record by its allocated size: fields beyond it stay empty.
ThreadInfoRecord ReadRecord(const ThreadInfoRecord* r) {
  ThreadInfoRecord copy{};
  const SIZE_T size = HeapSize(GetProcessHeap(), 0, r);
  const std::size_t n =
      size == static_cast<SIZE_T>(-1) ? 12 : std::min<std::size_t>(size, sizeof copy);
  std::memcpy(&copy, r, n);
  if (n <= 12) copy.description = nullptr, copy.creationAddress = nullptr, copy.creatorThreadId = 0;
  if (n <= 24) copy.handle = nullptr;
  return copy;
}

void FreeRecord(ThreadInfoRecord* r) {
  const ThreadInfoRecord fields = ReadRecord(r);
  if (fields.handle) CloseHandle(fields.handle);
  HeapFree(GetProcessHeap(), 0, fields.name);
  HeapFree(GetProcessHeap(), 0, fields.description);
  HeapFree(GetProcessHeap(), 0, r);
}

// Unlinks the thread's record (not freed) or returns null.
ThreadInfoRecord* Unlink(ThreadInfoRecord*& head, DWORD threadId) {
  for (ThreadInfoRecord** link = &head; *link; link = &(*link)->next) {
    if ((*link)->threadId == threadId) {
      ThreadInfoRecord* r = *link;
      *link = r->next;
      return r;
    }
  }
  return nullptr;
}

void DropEndedThreads(ThreadInfoRecord*& head) {
  for (ThreadInfoRecord** link = &head; *link;) {
    const ThreadInfoRecord fields = ReadRecord(*link);
    if (fields.handle && WaitForSingleObject(fields.handle, 0) == WAIT_OBJECT_0) {
      ThreadInfoRecord* r = *link;
      *link = r->next;
      FreeRecord(r);
    } else {
      link = &(*link)->next;
    }
  }
}

}  // namespace

std::vector<DWORD> ThreadList() {
  std::vector<DWORD> ids = ThreadsFromSystemInformation();
  return ids.empty() ? ThreadsFromToolhelp() : ids;
}

HANDLE OpenThreadById(DWORD threadId, DWORD access) {
  static const auto openThread = reinterpret_cast<OpenThreadFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "OpenThread")));
  return openThread ? openThread(access, FALSE, threadId) : nullptr;
}

constexpr DWORD kNoCount = static_cast<DWORD>(-1);

DWORD SuspendCount(HANDLE thread) {
  const DWORD previous = SuspendThread(thread);
  if (previous != kNoCount) ResumeThread(thread);
  return previous;
}

void ResumeDownTo(HANDLE thread, DWORD count) {
  for (DWORD c = SuspendCount(thread); c != kNoCount && c > count; --c) ResumeThread(thread);
}

SuspendWatch::SuspendWatch() {
  for (DWORD id : ThreadList()) {
    if (id == GetCurrentThreadId()) continue;
    ScopedHandle thread(OpenThreadById(id, THREAD_SUSPEND_RESUME));
    const DWORD count = thread ? SuspendCount(thread.get()) : kNoCount;
    if (count != kNoCount) threads_.push_back({std::move(thread), count, false});
  }
}

void SuspendWatch::Check() {
  for (Watched& w : threads_) {
    const DWORD count = SuspendCount(w.thread.get());
    const bool held = count != kNoCount && count > w.count;
    if (held && w.held) ResumeDownTo(w.thread.get(), w.count);
    w.held = held;
  }
}

void SuspendWatch::ReleaseAll() {
  for (const Watched& w : threads_) ResumeDownTo(w.thread.get(), w.count);
}

namespace {

// The reporter's threads, in slots taken and freed with interlocked
// operations; a reporter has a handful, more go unmarked.
volatile LONG reporterThreads[32];

void MarkReporterThread(DWORD threadId, bool reporter) {
  const auto id = static_cast<LONG>(threadId);
  for (volatile LONG& slot : reporterThreads) {
    if (reporter ? InterlockedCompareExchange(&slot, id, 0) == 0
                 : InterlockedCompareExchange(&slot, 0, id) == id) {
      return;
    }
  }
}

constexpr DWORD kRecordWaitMs = 2000;

}  // namespace

bool IsReporterThread(DWORD threadId) {
  for (const volatile LONG& slot : reporterThreads) {
    if (slot == static_cast<LONG>(threadId)) return true;
  }
  return false;
}

void RecordThreadInfo(DWORD threadId, const ThreadInfoUpdate& update) {
  if (update.name || !update.threadHandle) {
    const bool reporter = update.name && *update.name == "-";
    if (reporter != IsReporterThread(threadId)) MarkReporterThread(threadId, reporter);
  }
  ThreadInfoList& list = ThreadInfoList::Instance();
  // A thread that faulted or was paused holding the list must not hold up
  // the reporting threads for ever: past the limit the record is skipped.
  ListLock lock(list, kRecordWaitMs);
  if (!lock) return;
  ThreadInfoRecord* old = Unlink(list.Head(), threadId);
  const ThreadInfoRecord before = old ? ReadRecord(old) : ThreadInfoRecord{};
  if (update.name || update.threadHandle) {
    ScopedHandle handle;
    if (update.threadHandle) {
      HANDLE copy = nullptr;
      if (DuplicateHandle(GetCurrentProcess(), update.threadHandle, GetCurrentProcess(), &copy,
                          kThreadInfoAccess, FALSE, 0)) {
        handle.reset(copy);
      }
    }
    if (!handle) handle.reset(OpenThreadById(threadId, kThreadInfoAccess));
    auto* r = handle ? static_cast<ThreadInfoRecord*>(
                           HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadInfoRecord)))
                     : nullptr;
    if (r) {
      r->threadId = threadId;
      r->name = HeapText(update.name ? *update.name : Text(before.name));
      r->description =
          HeapText(update.description ? *update.description : Text(before.description));
      r->creationAddress = update.creationAddress.value_or(before.creationAddress);
      r->creatorThreadId = update.creatorThreadId.value_or(before.creatorThreadId);
      r->handle = handle.release();  // the record owns it from here
      r->next = list.Head();
      list.Head() = r;
    }
  }
  if (old) FreeRecord(old);
  DropEndedThreads(list.Head());
}

namespace {

LONG CALLBACK SwallowNamingException(EXCEPTION_POINTERS* info) {
  return info->ExceptionRecord->ExceptionCode == kThreadNamingException
             ? EXCEPTION_CONTINUE_EXECUTION
             : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void SetThreadName(DWORD threadId, const std::string& name) {
  ThreadInfoUpdate update;
  update.name = name;
  RecordThreadInfo(threadId, update);
  if (name.empty() || !IsDebuggerPresent()) return;
  // Tells the debugger; a debugger that passes it on reaches the handler
  // below, which continues.
  const ULONG_PTR arguments[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name.c_str()), threadId, 0};
  void* handler = AddVectoredExceptionHandler(0, SwallowNamingException);
  RaiseException(kThreadNamingException, 0, 4, arguments);
  if (handler) RemoveVectoredExceptionHandler(handler);
}

bool FindThreadInfo(DWORD threadId, DWORD waitMs, std::optional<ThreadInfoEntry>& entry) {
  entry.reset();
  ThreadInfoList& list = ThreadInfoList::Instance();
  ListLock lock(list, waitMs);
  if (!lock) return false;
  for (ThreadInfoRecord* r = list.Head(); r; r = r->next) {
    if (r->threadId != threadId) continue;
    const ThreadInfoRecord fields = ReadRecord(r);
    entry = ThreadInfoEntry{
        threadId, Text(fields.name), Text(fields.description),
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fields.creationAddress)),
        fields.creatorThreadId};
    break;
  }
  return true;
}

std::string ThreadInfoText(DWORD threadId, bool showAll, void** creationAddress,
                           DWORD* creatorThreadId) {
  std::optional<ThreadInfoEntry> entry;
  const bool locked = FindThreadInfo(threadId, 50, entry);
  if (creationAddress) {
    *creationAddress =
        entry ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(entry->creationAddress))
              : nullptr;
  }
  if (creatorThreadId) *creatorThreadId = entry ? entry->creatorThreadId : 0;
  return ThreadHeaderText(threadId, entry ? &*entry : nullptr, showAll, locked);
}

bool RecordThreadNamingException(const EXCEPTION_RECORD& record) {
  if (record.ExceptionCode != kThreadNamingException || record.NumberParameters < 3 ||
      record.ExceptionInformation[0] != 0x1000) {
    return false;
  }
  const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
  DWORD threadId = static_cast<DWORD>(record.ExceptionInformation[2]);
  if (threadId == static_cast<DWORD>(-1)) threadId = GetCurrentThreadId();
  ThreadInfoUpdate update;
  update.name = text ? SafeReadString(text, kMaxThreadName) : std::string();
  RecordThreadInfo(threadId, update);
  return true;
}

}  // namespace corvan::crash
