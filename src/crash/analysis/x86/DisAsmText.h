#pragma once
// The text form of decoded x86 code: one line per instruction, and the
// listing of a whole function with labels, tables, optional line numbers,
// an optional layout with separators and a line limit around a marked
// address (the "disassembling" section of a bug report).
#include <string>

#include "crash/analysis/x86/FunctionParser.h"

namespace corvan::crash {

// Name and line lookups the listing uses when they are present. Each may be
// null; the listing then goes without that information.
struct TListingSymbols {
  // Symbol-map name of the function that begins exactly at address.
  std::string (*SymbolNameAt)(Address address) = nullptr;
  // Source line of address; rangeStart/rangeEnd cache the line's extent.
  void (*LineNumberAt)(Address address, int& line, Address& rangeStart,
                       Address& rangeEnd) = nullptr;
  // File name (without path) of the module that contains address.
  std::string (*ModuleFileNameAt)(Address address) = nullptr;
  // Allocation base of the module that contains the listing code itself:
  // names from other modules get the module's file name appended.
  Address OwnModuleBase = 0;
};

// Process-wide lookups, set when the symbol-map reader is linked in.
TListingSymbols& ListingSymbols();

// Separator line of the formatted listing.
extern const char* const ListingSeparator;
extern const char* const ListingInternalError;

// One instruction as text (several "db" lines for invalid bytes, empty when
// nothing could be read). registers as for DecodeInstruction.
std::string DisassembleInstruction(const TMemoryView& view, Address code, RegisterState* registers,
                                   InstructionInfo& info, bool useRegisters,
                                   const TListingSymbols& symbols = ListingSymbols());

// The listing of the function at entry with the instruction at markAddress
// marked. Empty when the function cannot be parsed. lineLimit <= 0: no
// limit. Lines end in CR LF, the last one without.
std::string DisassembleFunction(const TMemoryView& view, Address entry, Address markAddress,
                                TFunctionInfo& info, bool formatted, int lineLimit,
                                const TRuntimeRoutines& routines,
                                const TListingSymbols& symbols = ListingSymbols(),
                                const TParseOptions& options = {});

}  // namespace corvan::crash
