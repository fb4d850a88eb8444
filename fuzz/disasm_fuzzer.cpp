// Arbitrary bytes as code: every offset is decoded (with the register
// model, so register-resolved targets read the bytes as cells), and the
// bytes are parsed and listed as a function. Nothing may read outside the
// bytes, loop without end or crash.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crash/analysis/x86/DisAsmText.h"
#include "crash/analysis/x86/FunctionParser.h"
#include "crash/analysis/x86/InstructionDecoder.h"

using namespace corvan::crash;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Code placed where its own dwords often point back into it.
  constexpr Address Base = 0x00001000;
  TBlockMemoryView view;
  view.Add(Base, std::vector<std::uint8_t>(data, data + size));

  RegisterState regs{};
  for (std::size_t offset = 0; offset < size; ++offset) {
    InstructionInfo info;
    TDecodedParts parts;
    DecodeInstruction(view, Base + static_cast<Address>(offset), &regs, true, info, &parts);
    if (info.After < info.Start || info.After - info.Start > MaxInstructionLength) __builtin_trap();
    if (info.Valid && (info.After == info.Start)) __builtin_trap();
  }

  TRuntimeRoutines routines;
  routines.OnHandler = Base + 0x10;
  routines.FinallyHandler = Base + 0x20;
  routines.AnyHandler = Base + 0x30;
  routines.CppBlockHandler = Base + 0x40;
  routines.Terminate = Base + 0x50;
  TParseOptions options;
  options.Limits.MaxAreas = 256;
  options.Limits.MaxInstructions = 20000;
  TFunctionInfo info;
  TListingSymbols symbols;
  const std::string text = DisassembleFunction(view, Base, Base + static_cast<Address>(size / 2),
                                               info, true, size % 7, routines, symbols, options);
  if (info.Valid && info.Areas.empty()) __builtin_trap();
  if (!info.Valid && !text.empty()) __builtin_trap();
  return 0;
}
