#include "crash/analysis/SafeRead.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

// The guarded copy: rep movsb between two labels. A fault inside it is
// answered by a vectored handler that resumes at the end label, where the
// count of bytes copied so far is computed from the remaining count in ecx.
// size_t corvan_guarded_copy(void* dest, const void* source, size_t count)
extern "C" std::size_t corvan_guarded_copy(void* dest, const void* source, std::size_t count);
extern "C" char corvan_guarded_copy_begin[];
extern "C" char corvan_guarded_copy_end[];
asm(R"(
    .text
    .globl _corvan_guarded_copy
    .globl _corvan_guarded_copy_begin
    .globl _corvan_guarded_copy_end
_corvan_guarded_copy:
    pushl %esi
    pushl %edi
    movl 12(%esp), %edi
    movl 16(%esp), %esi
    movl 20(%esp), %ecx
    cld
_corvan_guarded_copy_begin:
    rep movsb
_corvan_guarded_copy_end:
    movl 20(%esp), %eax
    subl %ecx, %eax
    popl %edi
    popl %esi
    ret
)");

namespace corvan::crash {
namespace {

// Readable: committed with a plain readable protection. Guard pages and
// no-access pages are not, and neither are pages with cache modifiers.
bool Readable(const MEMORY_BASIC_INFORMATION& info) {
  if (info.State != MEM_COMMIT) return false;
  switch (info.Protect) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

LONG CALLBACK GuardedCopyFault(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_GUARD_PAGE &&
      code != EXCEPTION_IN_PAGE_ERROR) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  CONTEXT* context = pointers->ContextRecord;
  const auto eip = static_cast<std::uintptr_t>(context->Eip);
  if (eip < reinterpret_cast<std::uintptr_t>(corvan_guarded_copy_begin) ||
      eip >= reinterpret_cast<std::uintptr_t>(corvan_guarded_copy_end)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  context->Eip = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(corvan_guarded_copy_end));
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The fault handler is registered first in line, for the duration of one
// copy or one read session, so that no handler registered before it (the
// fault translation of our own code, say) sees the copy's faults. It
// redirects only faults of the copy instruction, whatever the thread.
void* AddFaultGuard() { return AddVectoredExceptionHandler(1, GuardedCopyFault); }

std::size_t GuardedCopy(void* dest, const void* source, std::size_t count) noexcept {
  if (count == 0) return 0;
  const UniqueHandle<void*, RemoveFaultGuard> guard(AddFaultGuard());
  if (!guard) return 0;
  return corvan_guarded_copy(dest, source, count);
}

// The region that holds address; false when VirtualQuery knows nothing.
bool QueryRegion(std::uintptr_t address, TMemoryRegion& region) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info)
    return false;
  region.Base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
  region.Limit = region.Base + info.RegionSize;
  region.AllocationBase = reinterpret_cast<std::uintptr_t>(info.AllocationBase);
  region.Free = info.State == MEM_FREE;
  region.Committed = info.State == MEM_COMMIT;
  region.Readable = Readable(info);
  // A region that does not hold address (or wraps) tells nothing about it.
  return region.Base <= address && address < region.Limit;
}

// Length of the readable run at address, up to size; regionAt(address)
// gives the region that holds address or null.
template <typename RegionAt>
std::size_t ReadableRun(std::uintptr_t address, std::size_t size, RegionAt&& regionAt) {
  std::size_t run = 0;
  while (run < size) {
    const TMemoryRegion* region = regionAt(address + run);
    if (!region || !region->Readable) break;
    run = static_cast<std::size_t>(std::min<std::uintptr_t>(region->Limit - address, size));
  }
  return run;
}

std::size_t QueryReadable(std::uintptr_t address, std::size_t size) {
  TMemoryRegion region;
  return ReadableRun(address, size, [&region](std::uintptr_t at) {
    return QueryRegion(at, region) ? &region : nullptr;
  });
}

bool ValidRange(const void* address, const void* buffer, std::size_t size) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  return address && buffer && size != 0 && at + size >= at;
}

}  // namespace

std::size_t SafeReadUpTo(const void* address, void* buffer, std::size_t size,
                         const TDATryRead* snapshot) noexcept {
  if (!ValidRange(address, buffer, size)) return 0;
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const std::size_t readable =
      snapshot ? snapshot->ReadableFrom(at, size) : QueryReadable(at, size);
  return GuardedCopy(buffer, address, readable);
}

bool SafeRead(const void* address, void* buffer, std::size_t size,
              const TDATryRead* snapshot) noexcept {
  if (size == 0) return true;
  return SafeReadUpTo(address, buffer, size, snapshot) == size;
}

bool SafeRead(const void* address, void* buffer, std::size_t size) noexcept {
  return SafeRead(address, buffer, size, nullptr);
}

std::string SafeReadString(const void* address, std::size_t maxLength) {
  std::string result;
  const auto* at = static_cast<const char*>(address);
  char chunk[64];
  while (result.size() < maxLength) {
    const std::size_t want = std::min(sizeof chunk, maxLength - result.size());
    const std::size_t n = SafeReadUpTo(at, chunk, want, nullptr);
    const void* zero = std::memchr(chunk, 0, n);
    if (zero) {
      result.append(chunk, static_cast<const char*>(zero) - chunk);
      break;
    }
    result.append(chunk, n);
    if (n < want) break;
    at += n;
  }
  return result;
}

TDATryRead BeginSafeReads() {
  TDATryRead snapshot;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const auto top = reinterpret_cast<std::uintptr_t>(system.lpMaximumApplicationAddress);
  std::uintptr_t at = 0;
  while (at <= top) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) break;
    const auto start = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    const std::uintptr_t limit = start + info.RegionSize;
    if (limit <= at) break;
    snapshot.Append(start, limit, Readable(info));
    at = limit;
  }
  snapshot.Trim();
  return snapshot;
}

void EndSafeReads(TDATryRead& snapshot) {
  snapshot.Clear();
  snapshot.Trim();
}

void RemoveFaultGuard(void* handler) noexcept { RemoveVectoredExceptionHandler(handler); }

TSafeReadSession::TSafeReadSession() noexcept : guard_(AddFaultGuard()) {}

std::size_t TSafeReadSession::ReadUpTo(const void* address, void* buffer,
                                       std::size_t size) noexcept {
  if (!ValidRange(address, buffer, size)) return 0;
  const std::size_t readable = ReadableRun(reinterpret_cast<std::uintptr_t>(address), size,
                                           [this](std::uintptr_t at) { return Region(at); });
  if (readable == 0) return 0;
  return guard_ ? corvan_guarded_copy(buffer, address, readable)
                : GuardedCopy(buffer, address, readable);
}

const TMemoryRegion* TSafeReadSession::Region(std::uintptr_t address) noexcept {
  auto holds = [address](const TMemoryRegion& r) { return r.Base <= address && address < r.Limit; };
  if (lastHit_ < regions_.size() && holds(regions_[lastHit_])) return &regions_[lastHit_];
  auto byBase = [](std::uintptr_t a, const TMemoryRegion& r) { return a < r.Base; };
  auto it = std::upper_bound(regions_.begin(), regions_.end(), address, byBase);
  if (it != regions_.begin() && holds(*(it - 1))) {
    lastHit_ = static_cast<std::size_t>(it - 1 - regions_.begin());
    return &*(it - 1);
  }
  TMemoryRegion region;
  if (!QueryRegion(address, region)) return nullptr;
  // Entries never overlap: those the new region overlaps are stale (memory
  // changed since they were queried) and give way to it.
  auto first = std::upper_bound(regions_.begin(), regions_.end(), region.Base, byBase);
  if (first != regions_.begin() && (first - 1)->Limit > region.Base) --first;
  auto last =
      std::lower_bound(first, regions_.end(), region.Limit,
                       [](const TMemoryRegion& r, std::uintptr_t limit) { return r.Base < limit; });
  try {
    it = regions_.insert(regions_.erase(first, last), region);
  } catch (...) {
    return nullptr;  // out of memory: unreadable, the safe answer
  }
  lastHit_ = static_cast<std::size_t>(it - regions_.begin());
  return &*it;
}

}  // namespace corvan::crash
