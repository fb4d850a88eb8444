#include "crash/core/CodePatchesWin.h"

#include <windows.h>

#include <cstring>
#include <utility>

#include "crash/analysis/SafeRead.h"

namespace corvan::crash {
namespace {

constexpr std::uintptr_t kPageSize = 4096;

// Pages of one range made writable, each given back the protection it had
// (pages of a range may differ: code next to data).
class WritablePages {
 public:
  WritablePages(std::uintptr_t address, std::size_t length) {
    const std::uintptr_t end = address + length;
    for (std::uintptr_t page = address & ~(kPageSize - 1); page < end; page += kPageSize) {
      DWORD old = 0;
      if (!VirtualProtect(reinterpret_cast<void*>(page), 1, PAGE_EXECUTE_READWRITE, &old)) return;
      pages_[count_++] = {page, old};
    }
    ok_ = true;
  }
  ~WritablePages() {
    for (std::size_t i = 0; i < count_; ++i) {
      DWORD ignored = 0;
      VirtualProtect(reinterpret_cast<void*>(pages_[i].first), 1, pages_[i].second, &ignored);
    }
  }
  WritablePages(const WritablePages&) = delete;
  WritablePages& operator=(const WritablePages&) = delete;
  bool Ok() const { return ok_; }

 private:
  std::pair<std::uintptr_t, DWORD> pages_[2];  // patches are a few bytes: at most two pages
  std::size_t count_ = 0;
  bool ok_ = false;
};

}  // namespace

bool ProcessMemory::Read(std::uintptr_t address, void* bytes, std::size_t length) {
  return SafeRead(reinterpret_cast<const void*>(address), bytes, length);
}

bool ProcessMemory::Write(std::uintptr_t address, const void* bytes, std::size_t length) {
  if (length == 0 || length > kPageSize) return false;
  {
    WritablePages pages(address, length);
    if (!pages.Ok()) return false;
    std::memcpy(reinterpret_cast<void*>(address), bytes, length);
  }
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(address), length);
  return true;
}

CodePatches& ProcessPatches() {
  // Never destroyed: the reporter's shutdown, which reverts the list, runs
  // after the program's other static objects are gone.
  static CodePatches* const patches = new CodePatches(*new ProcessMemory);
  return *patches;
}

}  // namespace corvan::crash
