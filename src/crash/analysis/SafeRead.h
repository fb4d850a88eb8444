#pragma once
// The only way the crash reporter reads memory of its own process: a copy
// that fails instead of faulting when any byte of the range is unreadable.
#include <cstddef>
#include <string>

namespace corvan::crash {

// Copies size bytes from address into buffer when the whole range is
// readable (committed, readable protection, no guard page); returns false
// and leaves buffer unspecified otherwise. Never faults, never throws.
bool SafeRead(const void* address, void* buffer, std::size_t size) noexcept;

// Reads a zero-terminated string of at most maxLength characters. A string
// that reaches unreadable memory or the cap ends there.
std::string SafeReadString(const void* address, std::size_t maxLength);

}  // namespace corvan::crash
