#include "crash/analysis/zelDisAsm.h"

#include <windows.h>

#include <cxxabi.h>
#include <unwind.h>

#include <cstdlib>
#include <exception>

#include "crash/analysis/LiveMemoryView.h"
#include "crash/analysis/x86/UnwindLandingPads.h"

namespace corvan::crash {
namespace {

std::string SystemMessage(DWORD code) {
  char buffer[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

Address Own(void (*routine)()) { return AddressOf(reinterpret_cast<const void*>(routine)); }

TParseOptions OwnParseOptions() {
  TParseOptions options;
  options.LandingPads = OwnLandingPads;
  return options;
}

// The listing's symbols: this module's base marks names of other modules.
TListingSymbols LiveSymbols() {
  TListingSymbols symbols = ListingSymbols();
  if (!symbols.ModuleFileNameAt) symbols.ModuleFileNameAt = ModuleFileNameAt;
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(reinterpret_cast<const void*>(&LiveSymbols), &mbi, sizeof mbi) == sizeof mbi) {
    symbols.OwnModuleBase = AddressOf(mbi.AllocationBase);
  }
  return symbols;
}

}  // namespace

const TRuntimeRoutines& OwnRuntimeRoutines() {
  static const TRuntimeRoutines routines = [] {
    TRuntimeRoutines r;
    r.Terminate = Own(reinterpret_cast<void (*)()>(&std::terminate));
    r.NoReturn = {
        AddressOf(reinterpret_cast<const void*>(&__cxxabiv1::__cxa_throw)),
        AddressOf(reinterpret_cast<const void*>(&__cxxabiv1::__cxa_rethrow)),
        AddressOf(reinterpret_cast<const void*>(&_Unwind_Resume)),
        AddressOf(reinterpret_cast<const void*>(&_Unwind_RaiseException)),
        AddressOf(reinterpret_cast<const void*>(&std::abort)),
        AddressOf(reinterpret_cast<const void*>(&std::exit)),
        AddressOf(reinterpret_cast<const void*>(&ExitProcess)),
    };
    return r;
  }();
  return routines;
}

bool DecodeInstruction(const void* code, RegisterState* registers, bool useRegisters,
                       InstructionInfo& info, const TDATryRead* readMap) {
  const TLiveMemoryView view(readMap);
  return DecodeInstruction(view, AddressOf(code), registers, useRegisters, info);
}

bool DecodeInstruction(const void* code, InstructionInfo& info) {
  return DecodeInstruction(code, nullptr, false, info, nullptr);
}

bool DecodeInstruction(const void* code, InstructionInfo& info, const TDATryRead* readMap) {
  return DecodeInstruction(code, nullptr, false, info, readMap);
}

void ParseFunction(const void* entry, const TDATryRead* readMap, Address anyHandler,
                   TFunctionInfo& info, Address terminate, Address finallyHandler,
                   Address autoHandler, Address onHandler) {
  TRuntimeRoutines routines = OwnRuntimeRoutines();
  if (anyHandler) routines.AnyHandler = anyHandler;
  if (terminate) routines.Terminate = terminate;
  if (finallyHandler) routines.FinallyHandler = finallyHandler;
  if (autoHandler) routines.AutoHandler = autoHandler;
  if (onHandler) routines.OnHandler = onHandler;
  const TLiveMemoryView view(readMap);
  ParseFunction(view, AddressOf(entry), routines, info, OwnParseOptions());
  if (info.ErrorCode == ErrorInvalidParameter)
    info.ErrorText = SystemMessage(ErrorInvalidParameter);
}

void ParseFunction(const void* entry, TFunctionInfo& info) {
  ParseFunction(entry, nullptr, 0, info);
}

std::string DisassembleInstruction(const void* code, RegisterState* registers,
                                   InstructionInfo& info, bool useRegisters) {
  const TLiveMemoryView view;
  return DisassembleInstruction(view, AddressOf(code), registers, info, useRegisters,
                                LiveSymbols());
}

std::string DisassembleFunction(const void* entry, const void* markAddress, TFunctionInfo& info,
                                bool formatted, int lineLimit) {
  TDATryRead snapshot = BeginSafeReads();
  const TLiveMemoryView view(&snapshot);
  std::string text =
      DisassembleFunction(view, AddressOf(entry), AddressOf(markAddress), info, formatted,
                          lineLimit, OwnRuntimeRoutines(), LiveSymbols(), OwnParseOptions());
  EndSafeReads(snapshot);
  return text;
}

}  // namespace corvan::crash
