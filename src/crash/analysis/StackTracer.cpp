#include "crash/analysis/StackTracer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <memory_resource>
#include <string_view>

#include "crash/analysis/Unmangle.h"
#include "crash/analysis/x86/InstructionDecoder.h"
#include "crash/util/Crc32.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

// Scores are unsigned 64-bit; the constants are their high halves.
constexpr std::uint64_t High(std::uint32_t value) {
  return static_cast<std::uint64_t>(value) << 32;
}
constexpr std::uint64_t kStartScore = High(0x10000000);
constexpr std::uint64_t kReachedWithFunction = High(0x70000000);
constexpr std::uint64_t kReachedWithoutFunction = High(0x50000000);
constexpr std::uint64_t kFullyConnected = High(0x20000000);
constexpr std::uint64_t kReached = High(0x40000000);
// The chain outward from the outermost certain item ends wherever its
// best callers end.
constexpr int kNoTarget = -1;

constexpr int kProgressCollect = 25;
constexpr int kProgressDeep = 625;
constexpr int kProgressChains = 350;

// Trace texts are composed without printf: at several hundred lines per
// trace it cost more than the analysis behind them.

// value in lowercase hex, zero-padded to width digits, appended to text.
void AppendHex(std::string& text, std::uint32_t value, std::size_t width) {
  char digits[8];
  const std::size_t n = static_cast<std::size_t>(
      std::to_chars(digits, digits + sizeof digits, value, 16).ptr - digits);
  if (n < width) text.append(width - n, '0');
  text.append(digits, n);
}

// value in decimal, written to text; returns the length.
std::size_t DecimalText(std::int32_t value, char (&text)[16]) {
  return static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text);
}

}  // namespace

bool EndsInCall(const TMemoryView& view, Address value) {
  if (value < 8) return false;
  std::uint8_t b[8];  // b[k] is the byte at value - 8 + k
  if (!view.Read(value - 8, b, sizeof b)) return false;
  auto at = [&](unsigned back) { return b[8 - back]; };  // the byte at value - back
  if (at(5) == 0xE8 || at(7) == 0x9A) return true;
  for (unsigned back : {2u, 3u, 4u, 6u, 7u}) {
    if (at(back) == 0xFF && (at(back - 1) & 0x30) == 0x10) return true;
  }
  return false;
}

std::string InternalErrorText(const std::string& phase, const std::string& location,
                              const std::string& exceptionLocation) {
  std::string text = ">> internal error in " + phase;
  if (!location.empty()) text += ":\r\n" + location;
  if (!exceptionLocation.empty())
    text += "\r\n>> original exception location: \r\n" + exceptionLocation;
  return text;
}

// One trace: the candidates, their links and the output. Everything here
// lives for one trace; the caches of the tracer persist.
struct TStackTracer::TState {
  struct TLink {
    int Item = -1;  // -1: the item's own function
    Address CallAddress = 0;
    bool TargetKnown = false;
    Address Target = 0;
    int Function = -1;
    std::uint64_t Score = 0;
    bool Evaluated = false;
  };
  struct TLinks {
    explicit TLinks(std::pmr::memory_resource* arena) : List(arena) {}
    std::pmr::vector<TLink> List;
    int Best = -1;
    void Add(const TLink& link) {
      if (List.capacity() == 0) List.reserve(4);
      List.push_back(link);
    }
  };
  struct TItem {
    explicit TItem(std::pmr::memory_resource* arena) : Callees(arena), Callers(arena) {}
    Address ReturnAddress = 0;
    Address Value = 0;
    Address Slot = 0;
    bool HasSlot = false;
    bool Certain = false;
    bool IsTop = false;
    bool IsCreation = false;
    int Module = -1;
    TLinks Callees, Callers;
    bool Invalid = false;
    // output
    Address CodeAddress = 0;
    bool CodeKnown = false;
    int Function = -1;
    Address FunctionStart = 0;
    bool HasStart = false;
    // Views of the tracer's module and function caches and of the maps:
    // they stay put while the output is made (nothing is entered then).
    std::string_view ModuleName, UnitName, FunctionName;
    std::int32_t LineNumber = 0, RelativeLine = 0;
    bool Hidden = false;
  };

  // The links of every item come from here, released at once with the
  // trace: a trace makes thousands of small lists, and a heap allocation
  // and release for each cost more than the analysis of an item.
  std::pmr::monotonic_buffer_resource arena{16 * 1024};
  TStackTracer& tracer;
  const TTraceEnvironment& env;
  const TMemoryView& view;
  const TTraceInput& in;
  std::vector<TItem> items;
  std::vector<Address> frameSlots;
  std::size_t frameSlotIndex = 0;
  bool topAdded = false;
  bool linksBuilt = false;  // some item links to another

  TState(TStackTracer& t, const TTraceEnvironment& e, const TTraceInput& input)
      : tracer(t), env(e), view(e.View()), in(input) {}

  bool Aborted() const { return in.Abort && in.Abort->load(std::memory_order_relaxed); }
  void Progress(long long position) const {
    if (in.Progress) in.Progress->SetPosition(static_cast<int>(position));
  }

  // --- caches ---

  int ModuleOfAllocation(Address allocationBase) {
    auto found = tracer.moduleByBase_.find(allocationBase);
    if (found != tracer.moduleByBase_.end()) return found->second;
    TModuleEntry entry;
    int index = -1;
    if (env.DescribeModule(allocationBase, entry.Module)) {
      entry.OwnModule = allocationBase == env.OwnModuleBase();
      entry.Routines = entry.OwnModule || !entry.Module.HasMap()
                           ? env.OwnRoutines()
                           : RoutinesFromMap(*entry.Module.Map);
      if (tracer.modules_.size() == tracer.modules_.capacity()) {
        tracer.modules_.reserve(std::max<std::size_t>(16, tracer.modules_.size() * 2));
      }
      tracer.modules_.push_back(std::move(entry));
      index = static_cast<int>(tracer.modules_.size() - 1);
    }
    tracer.moduleByBase_[allocationBase] = index;
    return index;
  }

  int ModuleOf(Address address) {
    TRegionInfo region;
    if (!view.QueryRegion(address, region) || !region.Committed || !region.AllocationBase)
      return -1;
    return ModuleOfAllocation(region.AllocationBase);
  }

  // The runtime routines of a module of ours, found by name in its map. A
  // GCC-built program has no catch-all, finally, typed-handler or
  // automatic-exception routines (catch blocks are reached through landing
  // pads), so only the throw, resume and termination routines are looked up.
  static TRuntimeRoutines RoutinesFromMap(const TMapFile& map) {
    TRuntimeRoutines routines;
    for (const TMfPublic& pub : map.Publics) {
      const std::string& n = pub.SymbolName;
      if (n == "std::terminate()") {
        routines.Terminate = pub.SymbolAddress;
      } else if (n == "__cxa_throw" || n == "__cxa_rethrow" || n == "_Unwind_Resume" ||
                 n == "_Unwind_RaiseException" || n == "abort" || n == "exit") {
        routines.NoReturn.push_back(pub.SymbolAddress);
      }
    }
    return routines;
  }

  const TMfPublic* MapPublic(int module, Address address) const {
    if (module < 0 || !tracer.modules_[module].Module.HasMap()) return nullptr;
    return PublicAt(*tracer.modules_[module].Module.Map, address);
  }

  // Enters the function starting at start; -1 when it does not parse (and
  // force is off).
  int EnterFunction(Address start, const std::string* name, int module, bool approve, bool force,
                    int depth = 0) {
    auto found = tracer.functionByEntry_.find(start);
    if (found != tracer.functionByEntry_.end()) {
      if (approve && found->second >= 0) Approve(found->second, 0);
      return found->second;
    }
    if (module < 0) {
      for (std::size_t m = 0; m < tracer.modules_.size(); ++m) {
        const TTraceModule& mod = tracer.modules_[m].Module;
        if ((start > mod.CodeStart && start < mod.CodeEnd) ||
            (start > mod.DataStart && start < mod.DataEnd)) {
          module = static_cast<int>(m);
          break;
        }
      }
      if (module < 0) module = ModuleOf(start);
    }
    TFunctionEntry entry;
    entry.Module = module;
    const Address moduleBase = module >= 0 ? tracer.modules_[module].Module.Base : 0;
    const TRuntimeRoutines& routines =
        module >= 0 ? tracer.modules_[module].Routines : env.OwnRoutines();
    ParseFunction(view, start, routines, entry.Info, env.ParseOptionsFor(moduleBase));
    if (!entry.Info.Valid) {
      if (!force) return -1;
      entry.Info = TFunctionInfo{};
      entry.Info.Entry = start;
      entry.NoCode = true;
    }
    if (name) {
      entry.Name = *name;
    } else if (const TMfPublic* pub = MapPublic(module, start);
               pub && pub->SymbolAddress == start) {
      entry.Name = pub->SymbolName;
    } else {
      entry.Name = view.ExportNameAt(start);
    }
    if (tracer.functions_.size() == tracer.functions_.capacity()) {
      tracer.functions_.reserve(std::max<std::size_t>(16, tracer.functions_.size() * 2));
    }
    tracer.functions_.push_back(std::move(entry));
    const int index = static_cast<int>(tracer.functions_.size() - 1);
    tracer.functionByEntry_[start] = index;
    // Tail jumps lead to functions too, with the same standing.
    if (depth < 8) {
      const std::vector<FarTransfer> transfers = tracer.functions_[index].Info.FarTransfers;
      for (const FarTransfer& t : transfers) {
        if (!t.IsCall && t.Destination && !tracer.functionByEntry_.count(t.Destination)) {
          EnterFunction(t.Destination, nullptr, -1, approve, false, depth + 1);
        }
      }
    }
    if (approve) Approve(index, 0);
    return index;
  }

  void Approve(int function, int depth) {
    TFunctionEntry& f = tracer.functions_[function];
    if (f.Approved) return;
    f.Approved = true;
    if (depth >= 8) return;
    const std::vector<FarTransfer> transfers = f.Info.FarTransfers;
    for (const FarTransfer& t : transfers) {
      if (t.IsCall || !t.Destination) continue;
      auto found = tracer.functionByEntry_.find(t.Destination);
      if (found != tracer.functionByEntry_.end() && found->second >= 0)
        Approve(found->second, depth + 1);
    }
  }

  static bool AreasContain(const TFunctionInfo& info, Address address) {
    for (const CodeArea& area : info.Areas) {
      if (!area.IsCaseTable && !area.IsHandlerTable && address >= area.First &&
          address <= area.Last)
        return true;
    }
    return false;
  }

  // The call of function f that ends at returnAddress.
  struct TCall {
    bool Found = false;
    Address CallAddress = 0;
    bool TargetKnown = false;
    Address Target = 0;
    Address ReturnAddress = 0;  // changed for a top item that called a raise routine
  };

  TCall FindCallBefore(int function, Address returnAddress, bool isTop) {
    TCall call;
    call.ReturnAddress = returnAddress;
    const TFunctionEntry& f = tracer.functions_[function];
    if (!isTop) {
      for (const OpenTransfer& t : f.Info.OpenTransfers) {
        if (t.IsCall && t.AfterAddress == returnAddress) {
          call.Found = true;
          call.CallAddress = t.InstrAddress;
          return call;
        }
      }
      for (const FarTransfer& t : f.Info.FarTransfers) {
        if (t.IsCall && t.AfterAddress == returnAddress) {
          call.Found = true;
          call.CallAddress = t.InstrAddress;
          call.TargetKnown = t.Destination != 0;
          call.Target = t.Destination;
          return call;
        }
      }
      return call;
    }
    if (f.NoCode) {
      call.Found = f.Info.Entry == returnAddress;
      call.CallAddress = returnAddress;
      return call;
    }
    if (!in.IsExternalException) {
      // A raised exception: the call of the raise routine is the location.
      for (const FarTransfer& t : f.Info.FarTransfers) {
        if (!t.IsCall || t.AfterAddress != in.CurrentAddress || !t.Destination) continue;
        const int target = EnterFunction(t.Destination, nullptr, -1, false, false);
        if (target >= 0 && IsRaiseRoutineName(tracer.functions_[target].Name)) {
          call.Found = true;
          call.CallAddress = t.InstrAddress;
          call.TargetKnown = true;
          call.Target = t.Destination;
          call.ReturnAddress = t.AfterAddress;
          return call;
        }
      }
    }
    for (const CodeArea& area : f.Info.Areas) {
      if (area.IsCaseTable || area.IsHandlerTable || returnAddress < area.First ||
          returnAddress > area.Last + 1) {
        continue;
      }
      for (Address at = area.First; at < returnAddress;) {
        InstructionInfo insn;
        if (!DecodeInstruction(view, at, insn) || insn.After <= at) break;
        if (insn.After == returnAddress) {
          call.Found = true;
          call.CallAddress = at;
          return call;
        }
        at = insn.After;
      }
      break;
    }
    return call;
  }

  // --- collection ---

  void FrameChain() {
    Address f = in.FramePointer;
    if (!f) return;
    frameSlots.reserve(64);
    if (f + 4 > in.StackBottom && f + 4 < in.StackTop) frameSlots.push_back(f + 4);
    while (f + 4 < in.StackTop) {
      std::uint32_t next = 0;
      if (!view.ReadDword(f, next) || next <= f) break;
      if (next + 4 > in.StackBottom && next + 4 < in.StackTop) frameSlots.push_back(next + 4);
      f = next;
    }
    std::sort(frameSlots.begin(), frameSlots.end());
    frameSlotIndex = frameSlots.size();
  }

  // Moves the frame-slot pointer down to the highest slot at or below slot.
  bool InFrameSlot(Address slot) {
    while (frameSlotIndex > 0 && frameSlots[frameSlotIndex - 1] > slot) --frameSlotIndex;
    return frameSlotIndex > 0 && frameSlots[frameSlotIndex - 1] == slot;
  }

  // Adds the value as a candidate; true when it was accepted as certain.
  bool AddStackCandidate(Address value, bool hasSlot, Address slot, bool forced, bool isCreation) {
    const bool isTop = forced || (in.IsException && value == in.CurrentAddress);
    // Most stack values are no code addresses: the call test, on regions
    // the trace already knows, turns them away before anything costlier.
    if (value <= 7 || (!isTop && !isCreation && !EndsInCall(view, value))) return false;
    TItem item(&arena);
    item.Value = value;
    item.IsTop = isTop;
    item.IsCreation = isCreation;
    item.ReturnAddress = value;
    if (item.IsTop && !isCreation) {
      InstructionInfo insn;
      if (DecodeInstruction(view, value, insn)) {
        item.ReturnAddress = insn.After;
        item.CodeAddress = value;
        item.CodeKnown = true;
      }
    }
    TRegionInfo region;
    if (!view.QueryRegion(value - 1, region) || !region.Committed || !region.AllocationBase)
      return false;
    item.Module = ModuleOfAllocation(region.AllocationBase);
    const TTraceModule* module = item.Module >= 0 ? &tracer.modules_[item.Module].Module : nullptr;
    if (module) {
      const bool inCode = value >= module->CodeStart && value <= module->CodeEnd;
      const bool inData = value >= module->DataStart && value <= module->DataEnd;
      if (!inCode && !inData) return false;
    }
    item.HasSlot = hasSlot;
    item.Slot = slot;
    const bool inFrameSlot = hasSlot && InFrameSlot(slot);
    item.Certain = forced || inFrameSlot;

    bool found = false;
    const Address probe = item.IsTop ? value : value - 1;
    if (module && module->HasMap() && value >= module->CodeStart && value <= module->CodeEnd) {
      if (const TMfPublic* pub = PublicAt(*module->Map, probe)) {
        const int function =
            EnterFunction(pub->SymbolAddress, &pub->SymbolName, item.Module, true, false);
        if (function >= 0) found = TryFunction(item, function);
        if (!found && function >= 0) found = TryPieces(item, function, *module->Map, *pub);
      }
    } else if (module && !module->IsMainProgram) {
      Address start = 0;
      auto it = std::upper_bound(module->Exports.begin(), module->Exports.end(), probe);
      if (it != module->Exports.begin()) start = *(it - 1);
      if (module->EntryPoint && module->EntryPoint <= probe && module->EntryPoint > start)
        start = module->EntryPoint;
      if (start) {
        const int function = EnterFunction(start, nullptr, item.Module, true, false);
        if (function >= 0 && AreasContain(tracer.functions_[function].Info, probe))
          found = TryFunction(item, function);
      }
    }
    if (item.IsTop && !found) {
      if (!in.IsException || in.IsExternalException) {
        item.CodeAddress = value;
        item.CodeKnown = true;
      }
      std::uint8_t byte;
      if (in.IsException && in.IsExternalException && !view.Read(value, &byte, 1)) {
        const int function = EnterFunction(item.ReturnAddress, nullptr, item.Module, false, true);
        if (function >= 0) {
          item.Function = function;
          found = true;
        }
      }
    }
    if (!(item.IsTop || found || forced || inFrameSlot)) return false;
    if (item.CodeKnown) {
      TLink self;
      self.CallAddress = item.CodeAddress;
      self.Function = item.Function;
      item.Callers.Add(self);
    }
    // Tracing the calling thread, the current address is the return address
    // of the call into the tracer: its stack slot is that innermost frame,
    // already proven by its call. Taking it as the top item keeps the frame
    // from appearing twice (once here, once as the forced current address)
    // and ends the scan before the tracer's own frames.
    if (!in.IsException && hasSlot && value == in.CurrentAddress && item.CodeKnown) {
      item.IsTop = true;
      item.Certain = true;
    }
    if (items.size() == items.capacity())
      items.reserve(std::max<std::size_t>(64, items.size() * 2));
    items.push_back(std::move(item));
    if (items.back().IsTop && !isCreation) topAdded = true;
    return items.back().Certain;
  }

  bool TryFunction(TItem& item, int function) {
    const TCall call = FindCallBefore(function, item.ReturnAddress, item.IsTop);
    if (!call.Found) return false;
    item.Function = function;
    item.CodeAddress = call.CallAddress;
    item.CodeKnown = true;
    item.ReturnAddress = call.ReturnAddress;
    return true;
  }

  // Code pieces of a function reached by far jumps (its separated parts).
  bool TryPieces(TItem& item, int function, const TMapFile& map, const TMfPublic& pub) {
    const std::vector<FarTransfer> transfers = tracer.functions_[function].Info.FarTransfers;
    const TFunctionInfo& info = tracer.functions_[function].Info;
    const Address extentEnd = info.Entry + static_cast<Address>(std::max(info.CodeExtent, 0));
    for (const FarTransfer& t : transfers) {
      if (!t.Destination || t.Destination <= info.Entry) continue;
      if (t.Destination >= extentEnd) {
        const TMfPublic* owner = PublicAt(map, t.Destination);
        if (owner != &pub) continue;
      }
      const std::string name = pub.SymbolName + ".@label";
      const int piece = EnterFunction(t.Destination, &name, item.Module, true, false);
      if (piece >= 0 && TryFunction(item, piece)) return true;
    }
    return false;
  }

  void Collect() {
    if (in.CreationAddress) AddStackCandidate(in.CreationAddress, false, 0, true, true);
    if (in.PreparedStack && in.PreparedStack->size() > 1) {
      const std::size_t count =
          std::min<std::size_t>((*in.PreparedStack)[0].ReturnAddress, in.PreparedStack->size() - 1);
      for (std::size_t i = 1; i <= count && !topAdded && !Aborted(); ++i) {
        const TPreStackItem& p = (*in.PreparedStack)[i];
        const std::size_t before = items.size();
        AddStackCandidate(p.ReturnAddress, false, 0, false, false);
        if (items.size() > before && p.ForceKeep) items.back().Certain = true;
        Progress(static_cast<long long>(i) * kProgressCollect / static_cast<long long>(count));
      }
    } else {
      const Address span = in.StackTop - in.StackBottom;
      // One read of the whole range instead of one per slot: each guarded
      // read costs far more than the copy.
      std::vector<std::uint8_t> stack(span);
      const std::size_t have = view.ReadUpTo(in.StackBottom, stack.data(), stack.size());
      auto slotValue = [&](Address slot, std::uint32_t& value) {
        const std::size_t at = slot - in.StackBottom;
        if (at + 4 > have) return view.ReadDword(slot, value);
        std::memcpy(&value, stack.data() + at, 4);
        return true;
      };
      for (Address slot = in.StackTop - 4; slot >= in.StackBottom && slot < in.StackTop;) {
        std::uint32_t value = 0;
        if (slotValue(slot, value)) {
          const bool certain = AddStackCandidate(value, true, slot, false, false);
          if (topAdded || Aborted()) break;
          if (certain && !items.back().IsTop) slot -= 4;  // the saved frame pointer below it
        }
        Progress(static_cast<long long>(in.StackTop - slot) * kProgressCollect /
                 std::max<Address>(span, 1));
        if (slot < 4) break;
        slot -= 4;
      }
    }
    if (!in.DontAddTopItem && !topAdded && in.CurrentAddress) {
      AddStackCandidate(in.CurrentAddress, false, 0, true, false);
    }
  }

  // --- links ---

  void RemoveLinksTo(int item) {
    if (!linksBuilt) return;  // before the deep checks only self links exist
    for (TItem& other : items) {
      for (TLinks* links : {&other.Callees, &other.Callers}) {
        std::erase_if(links->List, [item](const TLink& l) { return l.Item == item && item >= 0; });
      }
    }
  }

  void RemoveItem(int index) {
    items[index].Invalid = true;
    items[index].Certain = false;
    items[index].Callees.List.clear();
    items[index].Callers.List.clear();
    RemoveLinksTo(index);
  }

  void DiscreditFunction(int function) {
    if (function < 0) return;
    tracer.functions_[function].Invalid = true;
    for (TItem& item : items) {
      for (TLinks* links : {&item.Callees, &item.Callers}) {
        std::erase_if(links->List, [function](const TLink& l) { return l.Function == function; });
      }
    }
  }

  bool HasUnknownLink(const TItem& item) const {
    for (const TLink& l : item.Callees.List) {
      if (!l.TargetKnown) return true;
    }
    return false;
  }

  bool HasApprovedCallerOtherThan(const TItem& item, Address callAddress) const {
    for (const TLink& l : item.Callers.List) {
      if (l.Function >= 0 && tracer.functions_[l.Function].Approved && l.CallAddress != callAddress)
        return true;
    }
    return false;
  }

  void BuildLinks(int i, Address callAddress, bool targetKnown, Address target, bool approved,
                  int depth = 0) {
    int targetFunction = -1;
    if (targetKnown) {
      targetFunction = EnterFunction(target, nullptr, -1, approved, false);
      if (targetFunction < 0 || tracer.functions_[targetFunction].Invalid) return;
      bool openJumps = false;
      for (const OpenTransfer& t : tracer.functions_[targetFunction].Info.OpenTransfers)
        openJumps |= !t.IsCall;
      if (openJumps && depth == 0) BuildLinks(i, callAddress, false, 0, approved, 1);
    } else if (HasUnknownLink(items[i])) {
      return;
    }
    for (std::size_t j = static_cast<std::size_t>(i) + 1; j < items.size(); ++j) {
      TItem& later = items[j];
      if (later.Invalid) continue;
      TCall call;
      if (targetFunction >= 0) {
        call = FindCallBefore(targetFunction, later.ReturnAddress, later.IsTop);
        if (!call.Found) {
          if (later.Certain) break;
          continue;
        }
      }
      if (!approved && HasApprovedCallerOtherThan(later, call.CallAddress)) {
        if (later.Certain) break;
        continue;
      }
      linksBuilt = true;
      TLink down;
      down.Item = static_cast<int>(j);
      down.CallAddress = callAddress;
      down.TargetKnown = targetKnown;
      down.Target = target;
      down.Function = targetFunction;
      items[i].Callees.Add(down);
      TLink up;
      up.Item = i;
      up.CallAddress = call.Found ? call.CallAddress : 0;
      up.TargetKnown = targetKnown;
      up.Target = target;
      up.Function = targetFunction;
      later.Callers.Add(up);
      if (later.Certain) break;
    }
  }

  void BuildLinksFromCall(int i, Address callAddress, bool approved) {
    InstructionInfo insn;
    if (!DecodeInstruction(view, callAddress, insn) || !insn.IsCall) {
      BuildLinks(i, callAddress, false, 0, approved);
      return;
    }
    BuildLinks(i, callAddress, insn.Destination != 0, insn.Destination, approved);
  }

  void DeepChecks() {
    const std::size_t count = items.size();
    for (std::size_t k = 0; k < count && !Aborted(); ++k) {
      Progress(kProgressCollect +
               static_cast<long long>(k) * kProgressDeep / static_cast<long long>(count));
      TItem& item = items[k];
      if (item.Invalid || item.IsCreation) continue;
      const int i = static_cast<int>(k);
      const TLink* approvedLink = nullptr;
      for (const TLink& l : item.Callers.List) {
        if (l.Function >= 0 && tracer.functions_[l.Function].Approved) {
          approvedLink = &l;
          break;
        }
      }
      if (approvedLink) {
        const Address call = approvedLink->CallAddress;
        std::vector<int> discredited;
        for (const TLink& l : item.Callers.List) {
          if (l.CallAddress != call && l.Function >= 0) discredited.push_back(l.Function);
        }
        for (int f : discredited) DiscreditFunction(f);
        if (!item.IsTop || item.CodeKnown) BuildLinksFromCall(i, call, true);
        continue;
      }
      int containing = -1;
      for (std::size_t f = 0; f < tracer.functions_.size(); ++f) {
        const TFunctionEntry& fn = tracer.functions_[f];
        if (fn.Approved && !fn.Invalid && AreasContain(fn.Info, item.ReturnAddress - 1)) {
          containing = static_cast<int>(f);
          break;
        }
      }
      if (containing >= 0) {
        const TCall call = FindCallBefore(containing, item.ReturnAddress, item.IsTop);
        if (call.Found) {
          TLink self;
          self.CallAddress = call.CallAddress;
          self.Function = containing;
          item.Callers.Add(self);
          BuildLinks(i, call.CallAddress, call.TargetKnown, call.Target, true);
        } else if (!item.Certain) {
          RemoveItem(i);
        }
        continue;
      }
      // Brute force: any call instruction that ends at the return address.
      TRegionInfo region;
      Address from = item.ReturnAddress >= 7 ? item.ReturnAddress - 7 : 0;
      if (view.QueryRegion(item.ReturnAddress - 1, region))
        from = std::max(from, region.RegionBase);
      for (Address at = from; at + 2 <= item.ReturnAddress; ++at) {
        InstructionInfo insn;
        if (DecodeInstruction(view, at, insn) && insn.IsCall && insn.After == item.ReturnAddress) {
          BuildLinks(i, at, insn.Destination != 0, insn.Destination, false);
        }
      }
    }
  }

  // --- recursion ---

  // One pass from the last item down; true when a repetition was removed.
  // A removed block lies above every item still to be checked in the pass,
  // so the pass goes on below it; blocks that join up only after a removal
  // are found by the next pass. Linear per pass (deep recursion after a
  // stack overflow has tens of thousands of items).
  bool RemoveRecursionOnce(bool final) {
    std::vector<int> valid;
    valid.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (!items[i].Invalid) valid.push_back(static_cast<int>(i));
    }
    // Position (in valid) of the nearest earlier item with the same return
    // address, or -1.
    std::vector<std::ptrdiff_t> earlier(valid.size(), -1);
    {
      std::unordered_map<Address, std::ptrdiff_t> last;
      last.reserve(valid.size());
      for (std::size_t v = 0; v < valid.size(); ++v) {
        auto [it, added] =
            last.try_emplace(items[valid[v]].ReturnAddress, static_cast<std::ptrdiff_t>(v));
        if (!added) {
          earlier[v] = it->second;
          it->second = static_cast<std::ptrdiff_t>(v);
        }
      }
    }
    bool changed = false;
    for (std::size_t kv = valid.size(); kv-- > 1;) {
      if (Aborted()) return false;
      if (earlier[kv] < 0) continue;
      const std::size_t iv = static_cast<std::size_t>(earlier[kv]);
      const std::size_t j = kv - iv - 1;  // valid items between them
      if (iv < j) continue;
      bool same = true;
      for (std::size_t n = 1; n <= j && same; ++n) {
        same = items[valid[kv - n]].ReturnAddress == items[valid[iv - n]].ReturnAddress;
      }
      if (!same) continue;
      for (std::size_t n = 0; n <= j; ++n) {
        const int index = valid[kv - n];
        items[index].Certain = false;
        if (final) {
          items[index].Invalid = true;
        } else {
          RemoveItem(index);
        }
      }
      changed = true;
      kv -= j;  // on below the removed block
    }
    return changed;
  }

  void RemoveRecursion(bool final) {
    while (RemoveRecursionOnce(final)) {
    }
  }

  // --- chains ---

  std::uint64_t LinkScore(TLink& link, int from, int target, bool forward, bool connected) {
    if (link.Evaluated) return link.Score;
    if (Aborted()) return kStartScore;
    const bool hasFunction = link.Function >= 0;
    std::uint64_t rest;
    if (link.Item == target) {
      rest = hasFunction ? kReachedWithFunction : kReachedWithoutFunction;
    } else {
      rest = BestScore(link.Item, target, forward, connected && hasFunction);
    }
    if (!hasFunction) rest &= ~kFullyConnected;
    int e = 0;
    if (hasFunction) {
      e += 14;
      if (connected || (rest & kFullyConnected)) e += 14;
      if (tracer.functions_[link.Function].Approved) e += 14;
    }
    const TItem& a = items[from];
    const TItem& b = items[link.Item];
    if (a.Module >= 0 && b.Module >= 0) {
      const TTraceModule& ma = tracer.modules_[a.Module].Module;
      const TTraceModule& mb = tracer.modules_[b.Module].Module;
      if (ma.HasMap()) {
        e += 3;
        if (LineAt(*ma.Map, a.ReturnAddress - 1) > 0) e += 3;
        if (mb.HasMap() && LineAt(*mb.Map, b.ReturnAddress - 1) > 0) e += 3;
      }
    }
    link.Score = (std::uint64_t{1} << e) + rest;
    link.Evaluated = true;
    return link.Score;
  }

  std::uint64_t BestScore(int item, int target, bool forward, bool connected) {
    TLinks& links = forward ? items[item].Callees : items[item].Callers;
    std::uint64_t best = kStartScore;
    links.Best = -1;
    for (std::size_t n = 0; n < links.List.size(); ++n) {
      TLink& link = links.List[n];
      if (link.Item < 0) continue;
      if (forward ? (link.Item > target) : (link.Item < target)) continue;
      const std::uint64_t score = LinkScore(link, item, target, forward, connected);
      if (static_cast<std::int64_t>(score) > static_cast<std::int64_t>(best)) {
        best = score;
        links.Best = static_cast<int>(n);
      }
    }
    return best;
  }

  void Revive(int start, int target, bool forward) {
    int at = start;
    for (std::size_t guard = 0; guard <= items.size() && at != target; ++guard) {
      items[at].Invalid = false;
      const TLinks& links = forward ? items[at].Callees : items[at].Callers;
      if (links.Best < 0) break;
      at = links.List[links.Best].Item;
    }
    if (at >= 0) items[at].Invalid = false;
  }

  void ChooseChain(int outer, int inner) {
    for (int k = outer + 1; k < inner; ++k) items[k].Invalid = true;
    const std::uint64_t forward = BestScore(outer, inner, true, true);
    std::uint64_t backward = 0;
    if (!(forward & kReached)) backward = BestScore(inner, outer, false, true);
    if ((forward & kReached) ||
        static_cast<std::int64_t>(forward) > static_cast<std::int64_t>(backward)) {
      Revive(outer, inner, true);
    } else {
      Revive(inner, outer, false);
    }
  }

  void RealizeOptimalLinkChains() {
    std::vector<int> certain;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].Certain && !items[i].Invalid) certain.push_back(static_cast<int>(i));
    }
    const long long count = std::max<long long>(static_cast<long long>(items.size()), 1);
    for (std::size_t c = certain.size(); c-- > 1;) {
      if (Aborted()) return;
      ChooseChain(certain[c - 1], certain[c]);
      Progress(kProgressCollect + kProgressDeep +
               static_cast<long long>(items.size() - static_cast<std::size_t>(certain[c])) *
                   kProgressChains / count);
    }
    // Outside the outermost certain item the stack holds leftovers of
    // earlier calls as well: only the best chain of callers stays.
    if (!certain.empty() && certain.front() > 0 && !Aborted()) {
      const int first = certain.front();
      for (int k = 0; k < first; ++k) items[k].Invalid = true;
      BestScore(first, kNoTarget, false, true);
      Revive(first, kNoTarget, false);
    }
  }

  // --- output ---

  void FillFinalOutput(TTraceOutput& out) {
    bool first = true;
    bool hideRest = false;
    bool hideDispatcher = false;
    for (std::size_t k = items.size(); k-- > 0;) {
      TItem& item = items[k];
      if (item.Invalid) continue;
      const TLink* chosen = nullptr;
      for (const TLink& l : item.Callers.List) {
        if (l.Function >= 0 && tracer.functions_[l.Function].Approved &&
            !tracer.functions_[l.Function].Invalid) {
          chosen = &l;
          break;
        }
      }
      if (chosen) {
        TFunctionEntry& f = tracer.functions_[chosen->Function];
        item.CodeAddress = chosen->CallAddress;
        if (!f.ShownNamesReady) {
          f.ShownName = f.Name;
          UnmangleName(f.ShownName, f.ShownUnit);
          f.ShownNamesReady = true;
        }
        item.FunctionName = f.ShownName;
        item.UnitName = f.ShownUnit;
        item.FunctionStart = f.Info.Entry;
        item.HasStart = true;
      } else {
        const TLink* withCode = nullptr;
        for (const TLink& l : item.Callers.List) {
          if (l.CallAddress) {
            withCode = &l;
            break;
          }
        }
        if (withCode) {
          item.CodeAddress = withCode->CallAddress;
        } else if (!item.CodeKnown) {
          const TLinks& links = item.Callers;
          item.CodeAddress = links.Best >= 0 && links.List[links.Best].CallAddress
                                 ? links.List[links.Best].CallAddress
                                 : item.ReturnAddress;
        }
      }
      const TTraceModule* module =
          item.Module >= 0 ? &tracer.modules_[item.Module].Module : nullptr;
      item.ModuleName = module ? std::string_view(module->FileName) : "???";
      if (module && module->HasMap()) {
        const TMapFile& map = *module->Map;
        if (const TMfPublic* pub = PublicAt(map, item.CodeAddress)) {
          if (item.FunctionName.empty()) item.FunctionName = pub->SymbolName;
          if (!item.HasStart) {
            item.FunctionStart = pub->SymbolAddress;
            item.HasStart = true;
          }
        }
        if (const TMfSegment* seg = SegmentAt(map, true, item.CodeAddress))
          item.UnitName = seg->UnitName;
        const std::int32_t line = std::max(LineAt(map, item.CodeAddress), 0);
        std::int32_t startLine = 0;
        if (in.ShowRelativeLines && item.HasStart && line > 0)
          startLine = std::max(LineAt(map, item.FunctionStart), 0);
        // A start line beyond the line (a prologue the compiler attributed
        // to inlined or later code) is no start to count from.
        if (startLine > 0 && startLine <= line) {
          item.LineNumber = line;
          item.RelativeLine = line - startLine;
        } else {
          item.RelativeLine = line;
        }
        if (!map.MinDebugInfo.empty() && in.MinDebugInfos) {
          const std::string entry = module->FileName + "|" + map.MinDebugInfo;
          bool known = false;
          for (const std::string& e : *in.MinDebugInfos) known |= EqualsIgnoreCase(e, entry);
          if (!known) in.MinDebugInfos->push_back(entry);
        }
      }
      if (first) {
        out.ExceptionAddress = item.CodeAddress;
        first = false;
      }
      // The second language runtime's termination routines are Borland
      // names; a GCC program has none, the rule stays for foreign modules.
      if (hideRest) {
        item.Hidden = true;
        continue;
      }
      if (in.CppTermination && (item.FunctionName == "_ThrowExceptionLDTC" ||
                                item.FunctionName == "_ReThrowException")) {
        item.Hidden = hideRest = true;
        continue;
      }
      if (hideDispatcher) {
        hideDispatcher = false;
        if (item.FunctionName == "KiUserExceptionDispatcher") {
          item.Hidden = true;
          continue;
        }
      }
      if (in.PreparedStack && item.FunctionName == "__ExceptionHandler") {
        // Everything deeper than the handler goes, except the innermost.
        bool innermostSeen = false;
        for (std::size_t d = items.size(); d-- > k + 1;) {
          if (items[d].Invalid) continue;
          if (!innermostSeen) {
            innermostSeen = true;
            continue;
          }
          items[d].Hidden = true;
        }
        hideDispatcher = true;
      }
    }
  }

  // The CRC register run over the lower-cased texts, in as few calls as a
  // stack buffer allows: one line's names usually fit, and each call costs
  // as much as the bytes.
  static std::uint32_t CrcLowerCase(std::uint32_t crc,
                                    std::initializer_list<std::string_view> texts) {
    char chunk[256];
    std::size_t used = 0;
    for (std::string_view text : texts) {
      for (const char c : text) {
        if (used == sizeof chunk) {
          crc = Crc32Update(crc, chunk, used);
          used = 0;
        }
        chunk[used++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      }
    }
    return Crc32Update(crc, chunk, used);
  }

  // The checksums of a line's names, remembered for the lines that repeat
  // them: deep stacks are mostly a few call sites over and over. The names
  // are views of the caches, so equal views mean equal texts.
  class TLineCrcs {
   public:
    std::uint32_t Of(std::uint32_t offset, std::string_view module, std::string_view unit,
                     std::string_view function) {
      TEntry& e = entries_[(offset ^ reinterpret_cast<std::uintptr_t>(function.data())) %
                           std::size(entries_)];
      const auto same = [](std::string_view a, std::string_view b) {
        return a.data() == b.data() && a.size() == b.size();
      };
      if (!e.Used || e.Offset != offset || !same(e.Module, module) || !same(e.Unit, unit) ||
          !same(e.Function, function)) {
        e = {true, offset, module, unit, function, CrcLowerCase(offset, {module, unit, function})};
      }
      return e.Crc;
    }

   private:
    struct TEntry {
      bool Used = false;
      std::uint32_t Offset = 0;
      std::string_view Module, Unit, Function;
      std::uint32_t Crc = 0;
    };
    TEntry entries_[64];
  };

  static void AppendPadded(std::string& text, std::string_view field, std::size_t width) {
    text += field;
    if (field.size() < width) text.append(width - field.size(), ' ');
  }

  static void AppendRightAligned(std::string& text, std::string_view field, std::size_t width) {
    if (field.size() < width) text.append(width - field.size(), ' ');
    text += field;
    text += ' ';
  }

  // The relative-line column of an item: "+n" with relative lines on and a
  // line in the line column, else the plain number; empty when both are 0.
  std::string_view RelativeLineText(const TItem& item, char (&text)[16]) const {
    if (item.LineNumber == 0 && item.RelativeLine == 0) return {};
    const bool plus = in.ShowRelativeLines && item.LineNumber != 0;
    text[0] = '+';
    char* end = std::to_chars(text + plus, text + sizeof text, item.RelativeLine).ptr;
    return {text, static_cast<std::size_t>(end - text)};
  }

  void ComposeResult(TTraceOutput& out) {
    std::vector<TItem*> shown;
    for (std::size_t k = items.size(); k-- > 0;) {
      TItem& item = items[k];
      if (item.Invalid || item.Hidden) continue;
      const bool visible =
          item.IsTop || item.IsCreation ||
          (!item.FunctionName.empty() && (!in.HideUglyItems || item.RelativeLine > 0));
      if (visible) shown.push_back(&item);
    }
    std::size_t moduleWidth = 0, unitWidth = 0, lineWidth = 0, relWidth = 0, nameLength = 0;
    std::uint32_t largestOffset = 0;
    bool anyOffset = false;
    char number[16];
    for (const TItem* item : shown) {
      moduleWidth = std::max(moduleWidth, item->ModuleName.size());
      unitWidth = std::max(unitWidth, item->UnitName.size());
      nameLength += item->FunctionName.size();
      if (item->LineNumber) lineWidth = std::max(lineWidth, DecimalText(item->LineNumber, number));
      relWidth = std::max(relWidth, RelativeLineText(*item, number).size());
      if (item->HasStart && item->FunctionStart <= item->CodeAddress) {
        anyOffset = true;
        largestOffset = std::max(largestOffset, item->CodeAddress - item->FunctionStart);
      }
    }
    const bool offsets = in.ShowRelativeAddresses && anyOffset;
    const std::size_t offsetWidth = std::max<std::size_t>(1, HexDigits(largestOffset));

    std::string text;
    text.reserve(nameLength + shown.size() * (16 + offsetWidth + moduleWidth + unitWidth +
                                              lineWidth + relWidth + 6));
    if (in.ListItems) out.Items.reserve(shown.size());
    Address previous = 0;
    bool firstLine = true;
    TLineCrcs lineCrcs;
    for (TItem* item : shown) {
      if (!firstLine && item->CodeAddress == previous && !item->IsTop) continue;
      previous = item->CodeAddress;
      if (!firstLine) text += "\r\n";
      AppendHex(text, item->CodeAddress, 8);
      text += ' ';
      const bool hasOffset = item->HasStart && item->FunctionStart <= item->CodeAddress;
      const std::uint32_t offset = hasOffset ? item->CodeAddress - item->FunctionStart : 0;
      if (offsets) {
        text += '+';
        AppendHex(text, offset, offsetWidth);
        text += ' ';
      }
      AppendPadded(text, item->ModuleName, moduleWidth + 1);
      AppendPadded(text, item->UnitName, unitWidth + 1);
      if (lineWidth) {
        const std::size_t n = item->LineNumber ? DecimalText(item->LineNumber, number) : 0;
        AppendRightAligned(text, {number, n}, lineWidth);
      }
      if (relWidth) {
        AppendRightAligned(text, RelativeLineText(*item, number), relWidth);
      }
      text += item->FunctionName;

      std::uint32_t v = item->CodeAddress;
      if (item->Module >= 0 && !item->FunctionName.empty() && hasOffset)
        v = lineCrcs.Of(offset, item->ModuleName, item->UnitName, item->FunctionName);
      if (firstLine) {
        out.Crc1 = out.Crc2 = v;
      } else {
        std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                 static_cast<std::uint8_t>(v >> 16),
                                 static_cast<std::uint8_t>(v >> 24)};
        out.Crc2 = Crc32Update(out.Crc2, bytes, 4);
      }
      if (item->RelativeLine > 0) out.HasLineInfo = true;
      if (!out.ExceptionFunctionEntry && item->HasStart &&
          (item->LineNumber || item->RelativeLine)) {
        out.ExceptionFunctionEntry = item->FunctionStart;
        out.ExceptionFunctionAddress = item->CodeAddress;
      }
      firstLine = false;

      if (!in.ListItems) continue;
      TStackItem& written = out.Items.emplace_back();
      written.CodeAddress = item->CodeAddress;
      written.RelativeAddress = offset;
      written.Module = item->ModuleName;
      written.UnitName = item->UnitName;
      written.LineNumber = item->LineNumber;
      written.RelativeLine = item->RelativeLine;
      written.FunctionName = item->FunctionName;
    }
    if (!out.ExceptionFunctionEntry) {
      for (const TItem* item : shown) {
        if (item->HasStart) {
          out.ExceptionFunctionEntry = item->FunctionStart;
          out.ExceptionFunctionAddress = item->CodeAddress;
          break;
        }
      }
    }
    out.Text = std::move(text);
  }

  static std::size_t HexDigits(std::uint32_t value) {
    std::size_t n = 1;
    while (value >>= 4) ++n;
    return n;
  }
};

TStackTracer::TStackTracer() = default;
TStackTracer::~TStackTracer() = default;

void TStackTracer::ClearCaches() {
  modules_.clear();
  moduleByBase_.clear();
  functions_.clear();
  functionByEntry_.clear();
}

void TStackTracer::Trace(const TTraceEnvironment& env, const TTraceInput& input,
                         TTraceOutput& output) {
  output = TTraceOutput{};
  if (input.StackTop <= input.StackBottom) return;
  {
    // The whole stack range must be readable.
    TRegionInfo region;
    for (Address at = input.StackBottom; at < input.StackTop;) {
      if (!env.View().QueryRegion(at, region) || !region.Committed || region.RegionSize == 0)
        return;
      const Address end = region.RegionBase + region.RegionSize;
      if (end <= at) return;
      at = end;
    }
  }
  TState state(*this, env, input);
  TTraceOutput result;
  const char* phase = "";
  auto run = [&](const char* name, auto&& step) {
    phase = name;
    if (PhaseHook) PhaseHook(name);
    step();
  };
  try {
    run("CollectPossibleStackItems", [&] {
      state.FrameChain();
      state.Collect();
    });
    if (state.Aborted()) return;
    run("RemoveRecursiveStackAreas", [&] { state.RemoveRecursion(false); });
    if (state.Aborted()) return;
    run("InDeepChecks", [&] { state.DeepChecks(); });
    if (state.Aborted()) return;
    run("RealizeOptimalLinkChains", [&] { state.RealizeOptimalLinkChains(); });
    if (state.Aborted()) return;
    run("RemoveRecursiveAreas", [&] { state.RemoveRecursion(true); });
    if (state.Aborted()) return;
    run("FillFinalOutput", [&] { state.FillFinalOutput(result); });
    if (state.Aborted()) return;
    run("ComposeResult", [&] { state.ComposeResult(result); });
    state.Progress(1000);
  } catch (...) {
    output = TTraceOutput{};
    const Address faultAt = env.FaultAddress();
    output.Text = InternalErrorText(
        phase, faultAt ? env.LocationLine(faultAt) : std::string(),
        input.IsException ? env.LocationLine(input.CurrentAddress) : std::string());
    output.ExceptionAddress = input.CurrentAddress;
    return;
  }
  output = std::move(result);
}

std::uint32_t TStackTracer::Prepare(const TTraceEnvironment& env, Address framePointer,
                                    Address stackTop, Address stackBottom,
                                    TDAPreStackItem& prepared, bool isException,
                                    Address currentAddress) {
  prepared.clear();
  try {
    TTraceInput input;
    input.FramePointer = framePointer;
    input.StackTop = stackTop;
    input.StackBottom = stackBottom;
    TState state(*this, env, input);
    state.FrameChain();
    prepared.reserve(64);
    prepared.push_back({});
    const TMemoryView& view = env.View();
    for (Address slot = stackTop - 4; slot >= stackBottom && slot < stackTop;) {
      std::uint32_t value = 0;
      if (view.ReadDword(slot, value)) {
        if (isException && value == currentAddress) break;
        if (value > 7 && EndsInCall(view, value)) {
          const bool frame = state.InFrameSlot(slot);
          prepared.push_back({frame, value});
          if (frame) {
            if (slot < 4) break;
            slot -= 4;
          }
        }
      }
      if (slot < 4) break;
      slot -= 4;
    }
    prepared[0].ReturnAddress = static_cast<std::uint32_t>(prepared.size() - 1);
    return prepared[0].ReturnAddress;
  } catch (...) {
    prepared.clear();
    return 0;
  }
}

}  // namespace corvan::crash
