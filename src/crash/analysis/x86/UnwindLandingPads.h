#pragma once
// C++ catch blocks and cleanups are reached through the unwinder, not by a
// jump: their landing pads are listed in the function's DWARF unwind
// information (the FDE's language-specific data area). Reading them lets
// the code parser take them as code areas of the function.
#include <vector>

#include "crash/analysis/x86/MemoryView.h"

namespace corvan::crash {

// The landing pads listed for the function whose FDE (the record, starting
// at its length field) is at fde. Empty when the FDE has no LSDA, does not
// start at functionEntry, or cannot be read.
std::vector<Address> LandingPadsFromFde(const TMemoryView& view, Address fde,
                                        Address functionEntry);

// The same for our own program: finds the FDE through the unwinder's frame
// registry (Windows build; empty elsewhere). Fits TParseOptions::LandingPads.
std::vector<Address> OwnLandingPads(const TMemoryView& view, Address functionEntry);

}  // namespace corvan::crash
