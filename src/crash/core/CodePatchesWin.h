#pragma once
// The reporter's patches of its own process: one list for the whole
// process, reverted at the reporter's shutdown.
#include "crash/core/CodePatches.h"

namespace corvan::crash {

// This process's memory: reads through SafeRead; writes make each page
// writable and executable for the moment of the write, then give it back
// its own protection, and flush the instruction cache.
class ProcessMemory : public PatchMemory {
 public:
  bool Read(std::uintptr_t address, void* bytes, std::size_t length) override;
  bool Write(std::uintptr_t address, const void* bytes, std::size_t length) override;
};

// The process-wide patch list.
CodePatches& ProcessPatches();

}  // namespace corvan::crash
