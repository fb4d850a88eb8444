#pragma once
// The x86 code parser and disassembly listing on the running process: the
// portable decoder, parser and text form over a live memory view, with the
// exception-dispatch routines of our own runtime as defaults.
#include <string>

#include "crash/analysis/x86/DisAsmText.h"
#include "crash/analysis/x86/FunctionParser.h"
#include "crash/analysis/x86/InstructionDecoder.h"
#include "crash/analysis/SafeRead.h"

namespace corvan::crash {

// Address of a code location of this process.
inline Address AddressOf(const void* p) {
  return static_cast<Address>(reinterpret_cast<std::uintptr_t>(p));
}

// Decodes the instruction at code; readMap (may be null) is the snapshot
// every memory access outside the instruction bytes is checked against.
bool DecodeInstruction(const void* code, RegisterState* registers, bool useRegisters,
                       InstructionInfo& info, const TDATryRead* readMap);
bool DecodeInstruction(const void* code, InstructionInfo& info);
bool DecodeInstruction(const void* code, InstructionInfo& info, const TDATryRead* readMap);

// The exception-dispatch routines of this program's runtime: termination,
// the C++ throw and resume routines (no return), no catch-all or typed
// handler routines (C++ reaches catch blocks through landing pads).
const TRuntimeRoutines& OwnRuntimeRoutines();

// Parses the function at entry. Routine addresses left 0 take the defaults
// of OwnRuntimeRoutines(); landing pads of our own functions are code.
void ParseFunction(const void* entry, const TDATryRead* readMap, Address anyHandler,
                   TFunctionInfo& info, Address terminate = 0, Address finallyHandler = 0,
                   Address autoHandler = 0, Address onHandler = 0);
void ParseFunction(const void* entry, TFunctionInfo& info);

// One instruction as text (no snapshot).
std::string DisassembleInstruction(const void* code, RegisterState* registers,
                                   InstructionInfo& info, bool useRegisters);

// The listing of the function at entry with markAddress marked (the
// "disassembling" section). Empty when the function cannot be parsed.
std::string DisassembleFunction(const void* entry, const void* markAddress, TFunctionInfo& info,
                                bool formatted, int lineLimit);

}  // namespace corvan::crash
