#pragma once
// The only way the crash reporter reads memory of its own process: a copy
// that fails instead of faulting when any byte of the range is unreadable.
// Ranges are checked against the memory map (a snapshot of it, or
// VirtualQuery), and the copy itself runs under a fault guard of its own,
// so memory that changes after the check cannot fault either.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "crash/analysis/x86/TryReadMap.h"

namespace corvan::crash {

// Copies size bytes from address into buffer when the whole range is
// readable (committed, readable protection, no guard page); returns false
// and leaves buffer unspecified otherwise. Never faults, never throws.
bool SafeRead(const void* address, void* buffer, std::size_t size) noexcept;

// Reads a zero-terminated string of at most maxLength characters. A string
// that reaches unreadable memory or the cap ends there.
std::string SafeReadString(const void* address, std::size_t maxLength);

// A snapshot of the readable regions of the address space, for one
// analysis: checks become binary searches. EndSafeReads frees it.
TDATryRead BeginSafeReads();
void EndSafeReads(TDATryRead& snapshot);

// SafeRead checked against snapshot (VirtualQuery when snapshot is null).
bool SafeRead(const void* address, void* buffer, std::size_t size,
              const TDATryRead* snapshot) noexcept;

// Copies the readable prefix of [address, address + size) and returns its
// length.
std::size_t SafeReadUpTo(const void* address, void* buffer, std::size_t size,
                         const TDATryRead* snapshot) noexcept;

// A region of equal attributes as VirtualQuery described it.
struct TMemoryRegion {
  std::uintptr_t Base = 0, Limit = 0;  // [Base, Limit)
  std::uintptr_t AllocationBase = 0;
  bool Free = false;
  bool Committed = false;
  bool Readable = false;  // committed, readable protection, no guard page
};

// The reads of one analysis (a stack trace reads thousands of times from a
// few dozen regions). Instead of a snapshot of the whole address space,
// each region is asked of VirtualQuery once, when a read first touches it;
// instead of a fault guard per copy, one guard stays installed for the
// session's lifetime. A remembered verdict can go stale while the session
// runs (another thread unmaps memory): the guard still catches the fault
// and the read comes back short, as with a snapshot.
// One session belongs to one thread; sessions of several threads may run
// at once. Never faults, never throws (a guard that cannot be installed
// makes every copy install its own).
// Unregisters the fault guard of a session (a vectored handler).
void RemoveFaultGuard(void* handler) noexcept;

class TSafeReadSession {
 public:
  TSafeReadSession() noexcept;
  TSafeReadSession(const TSafeReadSession&) = delete;
  TSafeReadSession& operator=(const TSafeReadSession&) = delete;

  // As SafeReadUpTo: the length of the readable prefix, copied.
  std::size_t ReadUpTo(const void* address, void* buffer, std::size_t size) noexcept;

  // The region that holds address, queried on first use; null when
  // VirtualQuery knows nothing of it. Valid until the next call.
  const TMemoryRegion* Region(std::uintptr_t address) noexcept;

 private:
  UniqueHandle<void*, RemoveFaultGuard> guard_;
  // Regions touched so far, ascending by Base, with the last hit first in
  // line (most reads of a trace stay in one region).
  std::vector<TMemoryRegion> regions_;
  std::size_t lastHit_ = 0;
};

}  // namespace corvan::crash
