#pragma once
// The only way the crash reporter reads memory of its own process: a copy
// that fails instead of faulting when any byte of the range is unreadable.
// Ranges are checked against the memory map (a snapshot of it, or
// VirtualQuery), and the copy itself runs under a fault guard of its own,
// so memory that changes after the check cannot fault either.
#include <cstddef>
#include <string>

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

}  // namespace corvan::crash
