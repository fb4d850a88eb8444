#include "crash/analysis/x86/FunctionParser.h"

#include <algorithm>
#include <exception>

namespace corvan::crash {

const char* const InvalidCodeText = "Invalid code!";
const char* const TooMuchCodeText = "Too much code!";
const char* const InvalidParameterText = "The parameter is incorrect.";

namespace {

bool IsReturn(std::uint16_t op) {
  return op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
}

bool IsUnconditionalJump(const InstructionInfo& i, std::uint8_t reg) {
  return i.OpValue == 0xE9 || i.OpValue == 0xEA || i.OpValue == 0xEB ||
         (i.OpValue == 0xFF && (reg == 4 || reg == 5));
}

// Thrown inside the parser only, to abandon it from any depth.
struct ParseFailure {
  Address At;
  std::uint32_t Code;
};

class TFunctionParser {
 public:
  TFunctionParser(const TMemoryView& view, const TRuntimeRoutines& routines,
                  const TParseOptions& options, TFunctionInfo& info)
      : view_(view), routines_(routines), limits_(options.Limits), options_(options), info_(info) {}

  void Run(Address entry);

 private:
  void FindCodeRange(Address entry, const TRegionInfo& region);
  void ParseArea(std::size_t index);
  void RecordTransfer(const InstructionInfo& insn, const RegisterState& regs,
                      Address lastEaxImmediate);
  void AddArea(Address at, Address caller, const RegisterState& regs);
  void AddTable(Address first, std::uint32_t length, bool isCase);
  void AddFarTransfer(const InstructionInfo& insn);
  void RemoveOpen(Address instr);
  void AddCppBlockHandlers(Address lastEaxImmediate);
  bool RevisitOpenTransfers();
  bool FillGap();
  void Finish();
  std::size_t NextUnparsed() const;
  void ParseAll();
  bool InModule(Address a) const { return codeRange_.Contains(a); }
  bool ReadDword(Address at, std::uint32_t& value) const { return view_.ReadDword(at, value); }

  const TMemoryView& view_;
  const TRuntimeRoutines& routines_;
  const TParseLimits limits_;
  const TParseOptions& options_;
  TFunctionInfo& info_;
  TAddressRange codeRange_;
  std::size_t instructions_ = 0;
};

void TFunctionParser::FindCodeRange(Address entry, const TRegionInfo& region) {
  TImageHeaders headers;
  if (ReadImageHeaders(view_, region.AllocationBase, headers)) {
    codeRange_ = ModuleCodeRange(headers);
  }
  if (codeRange_.Empty() || !codeRange_.Contains(entry)) {
    codeRange_ = {region.RegionBase, region.RegionBase + region.RegionSize};
  }
}

void TFunctionParser::Run(Address entry) {
  info_ = TFunctionInfo{};
  info_.Entry = entry;
  TRegionInfo region;
  if (!view_.QueryRegion(entry, region) || !region.Committed) {
    info_.ErrorAddress = entry;
    info_.ErrorCode = ErrorInvalidParameter;
    info_.ErrorText = InvalidParameterText;
    return;
  }
  FindCodeRange(entry, region);
  info_.Areas.reserve(8);
  try {
    AddArea(entry, 0, RegisterState{});
    if (options_.LandingPads) {
      for (Address pad : options_.LandingPads(view_, entry)) AddArea(pad, 0, RegisterState{});
    }
    for (;;) {
      ParseAll();
      if (RevisitOpenTransfers()) continue;
      if (!FillGap()) break;
    }
    Finish();
  } catch (const ParseFailure& failure) {
    info_.Valid = false;
    info_.ErrorAddress = failure.At;
    info_.ErrorCode = failure.Code;
    info_.ErrorText = failure.Code == ErrorTooMuchCode ? TooMuchCodeText : InvalidCodeText;
  } catch (const std::exception&) {  // out of memory on a huge function
    info_.Valid = false;
    info_.ErrorAddress = entry;
    info_.ErrorCode = ErrorTooMuchCode;
    info_.ErrorText = TooMuchCodeText;
  }
}

std::size_t TFunctionParser::NextUnparsed() const {
  for (std::size_t i = 0; i < info_.Areas.size(); ++i) {
    if (info_.Areas[i].Last == 0) return i;
  }
  return info_.Areas.size();
}

void TFunctionParser::ParseAll() {
  for (std::size_t i = NextUnparsed(); i < info_.Areas.size(); i = NextUnparsed()) ParseArea(i);
}

void TFunctionParser::ParseArea(std::size_t index) {
  const Address first = info_.Areas[index].First;
  RegisterState regs = info_.Areas[index].Registers;
  // Code runs up to the next area or the end of the module's code (an area
  // beyond it is bounded by the instruction cap alone). Areas added while
  // parsing (a handler table behind a call) move the limit.
  Address limit = 0;
  std::size_t areasSeen = 0;
  auto updateLimit = [&] {
    if (areasSeen == info_.Areas.size()) return;
    areasSeen = info_.Areas.size();
    limit = first < codeRange_.Limit ? codeRange_.Limit : 0xFFFFFFFF;
    for (const CodeArea& other : info_.Areas) {
      if (other.First > first && other.First < limit) limit = other.First;
    }
  };
  updateLimit();

  // Patterns that span instructions.
  Address pushedHandler = 0;  // push imm32 of an exception frame
  int caseStep = 0;           // 1: cmp reg, imm8 seen; 2: and the bounding jump
  std::uint8_t caseRegister = 0;
  std::int32_t caseCount = 0;
  Address lastEaxImmediate = 0;  // imm32 field of the last mov eax, imm32

  Address at = first;
  for (;;) {
    if (++instructions_ > limits_.MaxInstructions) throw ParseFailure{at, ErrorTooMuchCode};
    InstructionInfo insn;
    TDecodedParts parts;
    const RegisterState before = regs;
    if (!DecodeInstruction(view_, at, &regs, true, insn, &parts)) {
      throw ParseFailure{insn.After, ErrorInvalidCode};
    }
    if (insn.After > limit) throw ParseFailure{insn.After, ErrorInvalidCode};
    info_.Areas[index].Last = insn.After - 1;
    const std::uint16_t op = insn.OpValue;
    if (IsReturn(op) || op == 0x0F0B) return;  // ud2 never falls through either

    // Exception frame: push offset handler / push dword ptr fs:[reg or 0].
    if (pushedHandler && parts.Segment == 4 && op == 0xFF && parts.Reg == 6 && parts.IsMemory) {
      const unsigned length = insn.After - insn.Start;
      const bool viaRegister =
          length == 3 && parts.Mod == 0 && parts.Rm != 4 && parts.Rm != 5 && before[parts.Rm] == 0;
      const bool viaZero = length == 7 && insn.ModRmByte == 0x35 && parts.Displacement == 0;
      if (viaRegister || viaZero) AddArea(pushedHandler, 0, RegisterState{});
    }
    pushedHandler =
        (op == 0x68 && insn.After - insn.Start == 5) ? static_cast<Address>(parts.Immediate) : 0;

    // Case table: cmp reg, imm8 / ja|jae|jg|jge / jmp [reg*4 + table] with
    // the table right behind the jump.
    if (op == 0x83 && insn.ModRmByte >= 0xF8) {
      caseStep = parts.Immediate >= 0 ? 1 : 0;
      caseRegister = parts.Rm;
      caseCount = parts.Immediate;
    } else if (caseStep == 1 && (op == 0x77 || op == 0x7F || op == 0x0F87 || op == 0x0F8F ||
                                 op == 0x73 || op == 0x7D || op == 0x0F83 || op == 0x0F8D)) {
      caseStep = 2;
      if (op == 0x77 || op == 0x7F || op == 0x0F87 || op == 0x0F8F) ++caseCount;
    } else if (caseStep == 2 && op == 0xFF && insn.ModRmByte == 0x24 && parts.Scale == 4 &&
               parts.Base == NoRegister && parts.Index == caseRegister &&
               static_cast<Address>(parts.Displacement) == insn.After && caseCount > 0 &&
               static_cast<std::uint32_t>(caseCount) <= limits_.MaxHandlerEntries) {
      const Address table = insn.After;
      AddTable(table, 4u * static_cast<std::uint32_t>(caseCount), true);
      for (std::int32_t i = 0; i < caseCount; ++i) {
        Address target = 0;
        if (ReadDword(table + 4u * static_cast<Address>(i), target))
          AddArea(target, insn.Start, regs);
      }
      return;
    } else {
      caseStep = 0;
    }

    if (insn.IsCall || insn.IsJump) RecordTransfer(insn, regs, lastEaxImmediate);
    lastEaxImmediate = (op == 0xB8 && !parts.OperandSize16) ? insn.Start + parts.ImmediateOffset
                                                            : lastEaxImmediate;
    if (insn.IsCall && insn.Destination &&
        (insn.Destination == routines_.Terminate ||
         std::find(routines_.NoReturn.begin(), routines_.NoReturn.end(), insn.Destination) !=
             routines_.NoReturn.end())) {
      return;
    }
    if (IsUnconditionalJump(insn, parts.Reg)) return;

    updateLimit();
    if (regs != before || insn.After >= limit) {
      AddArea(insn.After, 0, regs);
      return;
    }
    at = insn.After;
  }
}

void TFunctionParser::AddTable(Address first, std::uint32_t length, bool isCase) {
  if (info_.Areas.size() >= limits_.MaxAreas) throw ParseFailure{first, ErrorTooMuchCode};
  for (const CodeArea& area : info_.Areas) {
    if (area.First == first) return;
  }
  CodeArea table;
  table.First = first;
  table.Last = first + length - 1;
  table.IsCaseTable = isCase;
  table.IsHandlerTable = !isCase;
  info_.Areas.push_back(table);
}

void TFunctionParser::AddArea(Address at, Address caller, const RegisterState& regs) {
  for (CodeArea& area : info_.Areas) {
    if (area.First == at) {
      if (area.ReachedFrom == 0 || (caller > area.ReachedFrom && caller < at))
        area.ReachedFrom = caller;
      for (std::size_t r = 0; r < regs.size(); ++r) {
        if (area.Registers[r] != regs[r]) area.Registers[r] = 0;
      }
      return;
    }
  }
  if (info_.Areas.size() >= limits_.MaxAreas) throw ParseFailure{at, ErrorTooMuchCode};
  CodeArea added;
  added.First = at;
  added.ReachedFrom = caller;
  added.Registers = regs;
  for (CodeArea& area : info_.Areas) {
    if (area.Last != 0 && area.First < at && area.Last >= at) {
      if (area.IsCaseTable || area.IsHandlerTable) return;  // a jump into a table is not code
      added.Last = area.Last;
      area.Last = at - 1;
      for (std::size_t r = 0; r < regs.size(); ++r) {
        if (added.Registers[r] != area.Registers[r]) added.Registers[r] = 0;
      }
      break;
    }
  }
  info_.Areas.push_back(added);
}

void TFunctionParser::RemoveOpen(Address instr) {
  auto& open = info_.OpenTransfers;
  open.erase(std::remove_if(open.begin(), open.end(),
                            [instr](const OpenTransfer& o) { return o.InstrAddress == instr; }),
             open.end());
}

void TFunctionParser::AddFarTransfer(const InstructionInfo& insn) {
  FarTransfer far;
  far.IsCall = insn.IsCall;
  far.InstrAddress = insn.Start;
  far.AfterAddress = insn.After;
  far.Destination = insn.Destination;
  far.IsRelative = insn.IsRelative;
  far.DestinationField = insn.DestinationField;
  far.DestinationCell = insn.DestinationCell;
  // Look through a jump stub (an import thunk, an incremental-link jump).
  std::uint8_t first = 0;
  if (far.Destination && view_.Read(far.Destination, &first, 1) &&
      (first == 0xE9 || first == 0xEB || first == 0xFF) &&
      view_.ExportNameAt(far.Destination).empty()) {
    InstructionInfo stub;
    if (DecodeInstruction(view_, far.Destination, stub) && stub.IsJump && stub.Destination) {
      far.Destination = stub.Destination;
    }
  }
  for (const FarTransfer& existing : info_.FarTransfers) {
    if (existing.AfterAddress == far.AfterAddress) return;
  }
  if (far.DestinationCell) info_.CopySize += 4;
  info_.FarTransfers.push_back(far);
}

void TFunctionParser::AddCppBlockHandlers(Address lastEaxImmediate) {
  std::uint32_t descriptor = 0;
  std::uint16_t kind = 0;
  if (!lastEaxImmediate || !ReadDword(lastEaxImmediate, descriptor)) return;
  const Address block = descriptor + 10;
  if (!view_.Read(block, &kind, 2)) return;
  Address handler = 0;
  switch (kind) {
    case 0:
      if (ReadDword(block + 2, handler)) AddArea(handler, 0, RegisterState{});
      break;
    case 1:
    case 2:
      if (ReadDword(block + 6, handler)) AddArea(handler, 0, RegisterState{});
      break;
    case 3: {
      Address list = 0;
      if (!ReadDword(block + 2, list)) break;
      for (std::uint32_t i = 0; i < limits_.MaxHandlerEntries; ++i) {
        if (!ReadDword(list + 8 + 20 * i, handler) || handler == 0) break;
        AddArea(handler, 0, RegisterState{});
      }
      break;
    }
    default:
      break;
  }
}

void TFunctionParser::RecordTransfer(const InstructionInfo& insn, const RegisterState& regs,
                                     Address lastEaxImmediate) {
  if (!insn.DestinationField && !insn.DestinationCell) {
    for (const OpenTransfer& open : info_.OpenTransfers) {
      if (open.InstrAddress == insn.Start) return;
    }
    info_.OpenTransfers.push_back({insn.IsCall, insn.Start, insn.After});
    return;
  }
  const Address dest = insn.Destination;
  bool routine = false;
  if (dest && dest == routines_.AnyHandler) {
    routine = true;
    AddArea(insn.After, 0, RegisterState{});
  } else if (dest && dest == routines_.FinallyHandler) {
    routine = true;
    AddArea(insn.After, 0, RegisterState{});
    InstructionInfo next;
    std::uint8_t push = 0;
    std::uint32_t pushed = 0;
    if (DecodeInstruction(view_, insn.After, next) && next.IsJump && next.Destination &&
        InModule(next.Destination) && next.Destination < insn.Start &&
        view_.Read(next.Destination - 5, &push, 1) && push == 0x68 &&
        ReadDword(next.Destination - 4, pushed) && InModule(pushed)) {
      AddArea(pushed, 0, RegisterState{});
    }
  } else if (dest && dest == routines_.OnHandler) {
    routine = true;
    std::uint32_t count = 0;
    if (ReadDword(insn.After, count) && count <= limits_.MaxHandlerEntries) {
      AddTable(insn.After, 8 * count + 4, false);
      for (std::uint32_t i = 0; i < count; ++i) {
        Address handler = 0;
        if (ReadDword(insn.After + 4 + 8 * i + 4, handler) && handler)
          AddArea(handler, 0, RegisterState{});
      }
    }
  } else if (dest && dest == routines_.AutoHandler) {
    routine = true;
  } else if (dest && dest == routines_.CppBlockHandler) {
    routine = true;
    AddCppBlockHandlers(lastEaxImmediate);
  }
  if ((insn.DestinationSize == 4 && insn.IsCall) || !InModule(dest) || routine) {
    AddFarTransfer(insn);
  } else {
    AddArea(dest, insn.Start, regs);
  }
  RemoveOpen(insn.Start);
}

bool TFunctionParser::RevisitOpenTransfers() {
  const std::size_t areasBefore = info_.Areas.size();
  for (std::size_t i = info_.OpenTransfers.size(); i-- > 0;) {
    if (i >= info_.OpenTransfers.size()) continue;
    const OpenTransfer open = info_.OpenTransfers[i];
    for (const CodeArea& area : info_.Areas) {
      if (area.IsCaseTable || area.IsHandlerTable || area.Last == 0) continue;
      if (area.First <= open.InstrAddress && area.Last >= open.AfterAddress - 1) {
        RegisterState regs = area.Registers;
        InstructionInfo insn;
        TDecodedParts parts;
        if (DecodeInstruction(view_, open.InstrAddress, &regs, true, insn, &parts) &&
            (insn.DestinationField || insn.DestinationCell)) {
          RecordTransfer(insn, regs, 0);
        }
        break;
      }
    }
  }
  return NextUnparsed() < info_.Areas.size() || info_.Areas.size() != areasBefore;
}

bool TFunctionParser::FillGap() {
  const bool openJump = std::any_of(info_.OpenTransfers.begin(), info_.OpenTransfers.end(),
                                    [](const OpenTransfer& o) { return !o.IsCall; });
  if (!openJump) return false;
  std::vector<const CodeArea*> sorted;
  Address highestLast = 0;
  for (const CodeArea& area : info_.Areas) {
    sorted.push_back(&area);
    highestLast = std::max(highestLast, area.Last);
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const CodeArea* a, const CodeArea* b) { return a->First < b->First; });
  Address runEnd = sorted.front()->Last;
  for (const CodeArea* area : sorted) {
    if (area->First > runEnd + 1) break;
    runEnd = std::max(runEnd, area->Last);
  }
  if (runEnd >= highestLast) return false;
  const Address gap = runEnd + 1;
  if (highestLast - gap >= 1024) return false;

  // Parse the gap on a copy: a gap that is not code is dropped again.
  const TFunctionInfo saved = info_;
  const std::size_t savedInstructions = instructions_;
  try {
    AddArea(gap, 0, RegisterState{});
    ParseAll();
  } catch (const ParseFailure& failure) {
    if (failure.Code == ErrorTooMuchCode) throw;
    info_ = saved;
    instructions_ = savedInstructions;
    return false;
  }
  return true;
}

void TFunctionParser::Finish() {
  Address lowest = info_.Areas.front().First, highest = 0;
  for (const CodeArea& area : info_.Areas) {
    lowest = std::min(lowest, area.First);
    highest = std::max(highest, area.Last);
  }
  info_.Valid = true;
  info_.LowestAddress = lowest;
  info_.CodeExtent = static_cast<std::int32_t>(highest - lowest + 1);
  info_.CopySize += info_.CodeExtent + 4;

  // Patchable: the straight run of code from the entry holds more than the
  // 5 bytes of a jump, and no instruction in it is a transfer that could not
  // be moved elsewhere.
  std::uint32_t run = 0;
  const CodeArea* area = &info_.Areas.front();
  while (area) {
    run += area->Last - area->First + 1;
    const Address next = area->Last + 1;
    area = nullptr;
    for (const CodeArea& candidate : info_.Areas) {
      if (candidate.First == next && !candidate.IsCaseTable && !candidate.IsHandlerTable &&
          candidate.ReachedFrom == 0) {
        area = &candidate;
      }
    }
  }
  if (run <= 5) return;
  info_.Patchable = true;
  for (Address at = info_.Entry; at < info_.Entry + 6;) {
    InstructionInfo insn;
    if (!DecodeInstruction(view_, at, insn)) {
      info_.Patchable = false;
      break;
    }
    if (insn.IsCall || insn.IsJump) {
      const bool unknownField = !insn.DestinationField && !insn.DestinationCell;
      const bool tooShort = insn.IsRelative && insn.DestinationSize < 4 && !insn.CanWiden;
      if (unknownField || tooShort) info_.Patchable = false;
    }
    at = insn.After;
  }
}

}  // namespace

void ParseFunction(const TMemoryView& view, Address entry, const TRuntimeRoutines& routines,
                   TFunctionInfo& info, const TParseOptions& options) {
  TFunctionParser(view, routines, options, info).Run(entry);
}

bool IsRaiseRoutineName(const std::string& name) {
  for (const char* part :
       {"@RaiseExcept", "Error", "__cxa_throw", "_Unwind_RaiseException", "RaiseException"}) {
    if (name.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace corvan::crash
