#pragma once
// Control-flow parse of one 32-bit x86 function from its entry point: the
// code areas that belong to it, the calls and jumps that leave it, jump and
// exception-handler tables, and whether its first bytes could be replaced by
// a 5-byte jump. Every read goes through the memory view.
#include <cstdint>
#include <string>
#include <vector>

#include "crash/analysis/x86/CodeImage.h"
#include "crash/analysis/x86/InstructionDecoder.h"

namespace corvan::crash {

struct CodeArea {
  Address First = 0;
  Address Last = 0;  // inclusive; 0 while the area has not been parsed
  bool IsCaseTable = false;
  bool IsHandlerTable = false;
  Address ReachedFrom = 0;  // jump that first reached it; 0: fall-through or exception machinery
  RegisterState Registers{};
};

struct FarTransfer {
  bool IsCall = false;
  Address InstrAddress = 0;
  Address AfterAddress = 0;
  Address Destination = 0;
  bool IsRelative = false;
  Address DestinationField = 0;
  Address DestinationCell = 0;
};

struct OpenTransfer {
  bool IsCall = false;
  Address InstrAddress = 0;
  Address AfterAddress = 0;
};

struct TFunctionInfo {
  bool Valid = false;
  Address Entry = 0;
  Address LowestAddress = 0;
  std::int32_t CodeExtent = 0;
  bool Patchable = false;
  Address ErrorAddress = 0;
  std::uint32_t ErrorCode = 0;
  std::string ErrorText;
  std::vector<CodeArea> Areas;
  std::vector<FarTransfer> FarTransfers;
  std::vector<OpenTransfer> OpenTransfers;
  std::int32_t CopySize = 0;
};

// Error codes of a failed parse.
constexpr std::uint32_t ErrorInvalidParameter = 87;  // entry not in committed memory
constexpr std::uint32_t ErrorInvalidCode = 0x770001;
constexpr std::uint32_t ErrorTooMuchCode = 0x770002;  // a work cap was reached
extern const char* const InvalidCodeText;             // "Invalid code!"
extern const char* const TooMuchCodeText;
extern const char* const InvalidParameterText;

// The exception-dispatch entry points of the runtime that the parsed code
// belongs to (0 = none). Calls to a no-return routine end a code area.
struct TRuntimeRoutines {
  Address AnyHandler = 0;  // entered from blocks that catch everything
  Address Terminate = 0;   // ends the program
  Address FinallyHandler = 0;
  Address AutoHandler = 0;        // exceptions raised out of interface calls
  Address OnHandler = 0;          // typed handlers: followed by a handler table
  Address CppBlockHandler = 0;    // exception-block routine of the second language runtime
  std::vector<Address> NoReturn;  // more routines that never return (throw, resume unwinding)
};

// Bounds on the work for one function: hostile or damaged code cannot make
// the parse run away.
struct TParseLimits {
  std::size_t MaxAreas = 4096;
  std::size_t MaxInstructions = 200000;
  std::uint32_t MaxHandlerEntries = 1024;
};

// Extra entry points of a function's code known from outside the code, such
// as C++ landing pads from the unwind information. May be empty.
using LandingPadLookup = std::vector<Address> (*)(const TMemoryView& view, Address entry);

struct TParseOptions {
  TParseLimits Limits;
  LandingPadLookup LandingPads = nullptr;
};

// Parses the function at entry. Never throws; a failure is reported in
// Valid, ErrorAddress, ErrorCode and ErrorText.
void ParseFunction(const TMemoryView& view, Address entry, const TRuntimeRoutines& routines,
                   TFunctionInfo& info, const TParseOptions& options = {});

// True when name is one of the routines that raise an exception: the
// tracer looks for calls to them at the top of a stack.
bool IsRaiseRoutineName(const std::string& name);

}  // namespace corvan::crash
