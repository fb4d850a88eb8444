#include "crash/analysis/SafeRead.h"

#include <windows.h>

#include <cstdint>
#include <algorithm>
#include <cstring>

namespace corvan::crash {
namespace {

bool Readable(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  return (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                     PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// Every region touched by [address, address + size) is committed and
// readable.
bool RangeReadable(std::uintptr_t address, std::size_t size) {
  if (size == 0) return true;
  if (address + size < address) return false;  // wraps around
  const std::uintptr_t end = address + size;
  std::uintptr_t at = address;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) {
      return false;
    }
    if (info.State != MEM_COMMIT || !Readable(info.Protect)) return false;
    const std::uintptr_t regionEnd =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd <= at) return false;
    at = regionEnd;
  }
  return true;
}

}  // namespace

bool SafeRead(const void* address, void* buffer, std::size_t size) noexcept {
  if (size == 0) return true;
  if (!address || !buffer) return false;
  if (!RangeReadable(reinterpret_cast<std::uintptr_t>(address), size)) return false;
  std::memcpy(buffer, address, size);
  return true;
}

std::string SafeReadString(const void* address, std::size_t maxLength) {
  std::string result;
  const auto* at = static_cast<const char*>(address);
  char chunk[64];
  while (result.size() < maxLength) {
    const std::size_t want = std::min(sizeof chunk, maxLength - result.size());
    // Read up to the next page boundary at most, so a string that ends just
    // before unreadable memory is still found.
    const std::size_t toPage = 4096 - (reinterpret_cast<std::uintptr_t>(at) & 4095);
    const std::size_t n = std::min(want, toPage);
    if (!SafeRead(at, chunk, n)) break;
    const void* zero = std::memchr(chunk, 0, n);
    if (zero) {
      result.append(chunk, static_cast<const char*>(zero) - chunk);
      break;
    }
    result.append(chunk, n);
    at += n;
  }
  return result;
}

}  // namespace corvan::crash
