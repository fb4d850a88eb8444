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

// The fault handler is registered (first in line) only for the duration of
// one copy, so it can neither be overtaken by nor disturb other handlers.
class TFaultGuard {
 public:
  TFaultGuard() : handle_(AddVectoredExceptionHandler(1, GuardedCopyFault)) {}
  ~TFaultGuard() {
    if (handle_) RemoveVectoredExceptionHandler(handle_);
  }
  TFaultGuard(const TFaultGuard&) = delete;
  TFaultGuard& operator=(const TFaultGuard&) = delete;
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  void* handle_;
};

std::size_t GuardedCopy(void* dest, const void* source, std::size_t count) noexcept {
  if (count == 0) return 0;
  TFaultGuard guard;
  if (!guard) return 0;
  return corvan_guarded_copy(dest, source, count);
}

// Length of the readable run at address, by VirtualQuery.
std::size_t QueryReadable(std::uintptr_t address, std::size_t size) {
  std::size_t run = 0;
  while (run < size) {
    MEMORY_BASIC_INFORMATION info;
    const std::uintptr_t at = address + run;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) break;
    if (!Readable(info)) break;
    const std::uintptr_t regionEnd =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd <= at) break;
    run = static_cast<std::size_t>(std::min<std::uintptr_t>(regionEnd - address, size));
  }
  return run;
}

}  // namespace

std::size_t SafeReadUpTo(const void* address, void* buffer, std::size_t size,
                         const TDATryRead* snapshot) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (!address || !buffer || size == 0 || at + size < at) return 0;
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

}  // namespace corvan::crash
