#pragma once
// The threads of this process: enumeration, opening by id, and the
// process-wide thread information list (names, descriptions, creators)
// that every module carrying the reporter shares through the named block
// "zelExceptThreadNameBuf$<pid>".
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/WinHandles.h"
#include "crash/analysis/ThreadInfoText.h"

namespace corvan::crash {

// Ids of all threads of the current process (empty when the system
// cannot tell).
std::vector<DWORD> ThreadList();

// A handle to the thread with the given access, or null.
HANDLE OpenThreadById(DWORD threadId, DWORD access);

// How often thread is suspended (suspended and resumed once to tell);
// (DWORD)-1 when it cannot be told.
DWORD SuspendCount(HANDLE thread);
// Resumes thread until it is suspended no more than count times.
void ResumeDownTo(HANDLE thread, DWORD count);

// The suspend counts of the process's other threads when it is made, so
// that a thread left suspended by a call that stopped midway (one that
// suspends a thread at a time and then waits for a lock that thread holds)
// can be let go again.
class SuspendWatch {
 public:
  SuspendWatch();
  // A thread found above its count twice in a row is held, not merely
  // being read: it is let go.
  void Check();
  // Every thread back to its count.
  void ReleaseAll();

 private:
  struct Watched {
    ScopedHandle thread;
    DWORD count;
    bool held;
  };
  std::vector<Watched> threads_;
};

inline constexpr DWORD kThreadInfoAccess = SYNCHRONIZE | THREAD_QUERY_INFORMATION;  // 0x100040

// One record of the shared list; lives on the process heap. Older, shorter
// records (12 or 24 bytes) are read by their allocated size.
struct ThreadInfoRecord {
  DWORD threadId;
  char* name;
  ThreadInfoRecord* next;
  char* description;
  void* creationAddress;
  DWORD creatorThreadId;
  HANDLE handle;
};
static_assert(sizeof(void*) != 4 || sizeof(ThreadInfoRecord) == 28);

// Fields left unset keep the thread's earlier values.
struct ThreadInfoUpdate {
  HANDLE threadHandle = nullptr;
  std::optional<std::string> name;
  std::optional<DWORD> creatorThreadId;
  std::optional<void*> creationAddress;
  std::optional<std::string> description;
};

// Replaces the thread's entry; without a name and a handle the entry is
// only removed. Entries of ended threads are dropped on the way.
void RecordThreadInfo(DWORD threadId, const ThreadInfoUpdate& update);
void SetThreadName(DWORD threadId, const std::string& name);
// Whether the thread was named "-", the reporter's own, and has not ended
// since. Takes no lock and allocates nothing (asked at a fault).
bool IsReporterThread(DWORD threadId);
// A copy of the thread's entry, waiting at most waitMs for the list.
// nullopt in entry when it has none; returns false when the list could
// not be locked in time.
bool FindThreadInfo(DWORD threadId, DWORD waitMs, std::optional<ThreadInfoEntry>& entry);
// The thread header line of the bug report (see ThreadHeaderText).
std::string ThreadInfoText(DWORD threadId, bool showAll, void** creationAddress = nullptr,
                           DWORD* creatorThreadId = nullptr);

// The debugger's thread-naming exception: records the name when record is
// one (code 0x406D1388, type 0x1000). The name pointer comes from foreign
// code: it is read with a guarded, length-capped read.
inline constexpr DWORD kThreadNamingException = 0x406D1388;
inline constexpr std::size_t kMaxThreadName = 256;
bool RecordThreadNamingException(const EXCEPTION_RECORD& record);

}  // namespace corvan::crash
