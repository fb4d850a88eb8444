#include <cstdint>

#include "crash/analysis/x86/UnwindLandingPads.h"

// The unwinder's own lookup of the FDE that covers a code address (libgcc,
// DWARF-2 unwinding: the frames of our program are registered at start-up).
struct dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);

namespace corvan::crash {

std::vector<Address> OwnLandingPads(const TMemoryView& view, Address functionEntry) {
  dwarf_eh_bases bases{};
  const void* fde =
      _Unwind_Find_FDE(reinterpret_cast<void*>(static_cast<std::uintptr_t>(functionEntry)), &bases);
  if (!fde) return {};
  return LandingPadsFromFde(view, static_cast<Address>(reinterpret_cast<std::uintptr_t>(fde)),
                            functionEntry);
}

}  // namespace corvan::crash
