#pragma once
// Handlers that a form names in its OnAction property. Besides the two
// built-in names, a value "Unit.Function" names a function of the program,
// found in the program's own symbol map: the unit is the source file
// without extension, the function an extern "C" function (its map name is
// the plain name). A handler is accepted only when its code has the shape
// of one: under the stdcall convention of the handler type, every return
// of the function removes exactly the handler's 16 bytes of arguments
// (C2 10 00), so a function of another signature or convention, or bytes
// that are no function at all, never get called with a form.
#include <string>
#include <string_view>

#include "crash/analysis/x86/FunctionParser.h"

namespace corvan::crash {

// Stack bytes a handler removes: form, action, item, owner.
inline constexpr std::uint16_t kHandlerArgumentBytes = 16;

struct HandlerName {
  std::string Unit;  // empty when the value has no "."
  std::string Function;
};

// The part before the first "." is the unit, the part between the first
// and the second "." the function; without "." the whole value is the
// function.
HandlerName SplitHandlerName(std::string_view value);

// Whether the function at entry parses as valid code with at least one
// return, each of them "ret 16".
bool HasHandlerShape(const TMemoryView& view, Address entry, const TRuntimeRoutines& routines,
                     const TParseOptions& options = {});

}  // namespace corvan::crash

#ifdef _WIN32
namespace corvan::crash {

// HasHandlerShape on this process's code.
bool HasHandlerShape(Address entry);

// The entry of the program function that value names, when the program's
// symbol map has it and its code has the handler's shape; 0 otherwise.
Address ProgramHandlerEntry(std::string_view value);

}  // namespace corvan::crash
#endif
