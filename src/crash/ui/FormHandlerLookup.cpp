#include "crash/ui/FormHandlerLookup.h"

#include <cstring>

namespace corvan::crash {
namespace {

bool IsReturn(std::uint16_t op) {
  return op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
}

}  // namespace

HandlerName SplitHandlerName(std::string_view value) {
  const std::size_t first = value.find('.');
  if (first == std::string_view::npos) return {{}, std::string(value)};
  const std::size_t second = value.find('.', first + 1);
  return {
      std::string(value.substr(0, first)),
      std::string(value.substr(first + 1, second == std::string_view::npos ? std::string_view::npos
                                                                           : second - first - 1))};
}

bool HasHandlerShape(const TMemoryView& view, Address entry, const TRuntimeRoutines& routines,
                     const TParseOptions& options) {
  TFunctionInfo info;
  ParseFunction(view, entry, routines, info, options);
  if (!info.Valid) return false;
  const std::uint8_t expected[3] = {0xC2, kHandlerArgumentBytes & 0xFF, kHandlerArgumentBytes >> 8};
  int returns = 0;
  for (const CodeArea& area : info.Areas) {
    if (area.IsCaseTable || area.IsHandlerTable || area.Last < area.First) continue;
    for (Address at = area.First; at <= area.Last;) {
      InstructionInfo insn;
      if (!DecodeInstruction(view, at, insn) || insn.After <= at) return false;
      if (IsReturn(insn.OpValue)) {
        std::uint8_t bytes[3] = {};
        if (insn.After - insn.Start != 3 || !view.Read(insn.Start, bytes, 3) ||
            std::memcmp(bytes, expected, 3) != 0) {
          return false;
        }
        ++returns;
      }
      at = insn.After;
    }
  }
  return returns > 0;
}

}  // namespace corvan::crash
