#include <windows.h>

#include "crash/analysis/LiveMemoryView.h"
#include "crash/analysis/x86/UnwindLandingPads.h"
#include "crash/analysis/zelDisAsm.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/ui/FormHandlerLookup.h"

namespace corvan::crash {

bool HasHandlerShape(Address entry) {
  const TLiveMemoryView view;
  TParseOptions options;
  // Cleanups of the handler end in landing pads: they are its code too.
  options.LandingPads = OwnLandingPads;
  return HasHandlerShape(view, entry, OwnRuntimeRoutines(), options);
}

Address ProgramHandlerEntry(std::string_view value) {
  const HandlerName name = SplitHandlerName(value);
  if (name.Function.empty()) return 0;
  const TMapFileRef map = MapFileForAddress(AddressOf(GetModuleHandleA(nullptr)));
  if (!map->Loaded) return 0;
  const Address entry = PublicAddress(*map, true, name.Unit, true, name.Function);
  return entry && HasHandlerShape(entry) ? entry : 0;
}

}  // namespace corvan::crash
