#include "crash/analysis/LoaderLock.h"

#include <cstdint>

#include "crash/analysis/SafeRead.h"

namespace corvan::crash {
namespace {

constexpr std::size_t kLoaderLockOffset = 0xA0;  // in the PEB, 32-bit
constexpr std::size_t kFastPebLockOffset = 0x1C;

// Newer systems count a held section by clearing bit 0 of LockCount
// (unowned -1, owned -2); older ones count up from -1 (owned >= 0). A
// freshly entered section tells which kind this system is.
bool NewerCriticalSectionLayout() {
  static const bool newer = [] {
    CRITICAL_SECTION probe;
    InitializeCriticalSection(&probe);
    EnterCriticalSection(&probe);
    const bool result = probe.LockCount != 0;
    LeaveCriticalSection(&probe);
    DeleteCriticalSection(&probe);
    return result;
  }();
  return newer;
}

bool SectionHeld(const std::uint8_t* peb, std::size_t offset) {
  const CRITICAL_SECTION* section = nullptr;
  LONG lockCount;
  if (!SafeRead(peb + offset, &section, sizeof section) || !section ||
      !SafeRead(&section->LockCount, &lockCount, sizeof lockCount)) {
    return false;
  }
  return NewerCriticalSectionLayout() ? (lockCount & 1) == 0 : lockCount >= 0;
}

bool AnyHeld() {
  const std::uint8_t* peb;
  asm("movl %%fs:0x30, %0" : "=r"(peb));  // the thread block's PEB pointer
  return SectionHeld(peb, kLoaderLockOffset) || SectionHeld(peb, kFastPebLockOffset);
}

}  // namespace

bool IsLoaderLockHeld(DWORD waitMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (!AnyHeld()) return false;
    if (GetTickCount() - start >= waitMs) return true;
    Sleep(10);
  }
}

}  // namespace corvan::crash
