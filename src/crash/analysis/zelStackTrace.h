#pragma once
// The call stack of one thread, read from its raw stack memory.
//
// Every stack value that could be a return address is a candidate; the
// code before it is disassembled to prove that a call ends there. The
// candidates are linked into caller/callee chains, the best chain between
// the certain items (frame-pointer return slots) is kept, recursive
// stretches are removed, and each item is named from the symbol maps.
//
// Traces share process-wide module and function caches and must not run on
// two threads at once (the crash handler serialises report building). A
// trace never throws: a fault inside a phase becomes the text
// ">> internal error in <phase>" (see TraceThreadStack).
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/analysis/x86/MemoryView.h"

namespace corvan::crash {

// One line of a call stack.
struct TStackItem {
  // The call instruction that made the call; for the innermost item the
  // exception address itself.
  std::uint32_t CodeAddress = 0;
  // CodeAddress minus the start of its function; 0 when that is not known.
  std::uint32_t RelativeAddress = 0;
  std::string Module;  // file name without path, "???" outside any module
  std::string UnitName;
  // Filled only with relative lines on and the function's first line known
  // (RelativeLine is then the distance to it); else 0 and the line is in
  // RelativeLine.
  std::int32_t LineNumber = 0;
  std::int32_t RelativeLine = 0;
  std::string FunctionName;
};

// Innermost first.
using TStackTrace = std::vector<TStackItem>;

// A candidate return address collected by PrepareStackCandidates.
#pragma pack(push, 1)
struct TPreStackItem {
  bool ForceKeep = false;  // sat in a frame-pointer return slot
  std::uint32_t ReturnAddress = 0;
};
#pragma pack(pop)
static_assert(sizeof(TPreStackItem) == 5);

// Element 0 is reserved: its ReturnAddress holds the count, so the array
// seen from that field on is a 32-bit count followed by count records.
using TDAPreStackItem = std::vector<TPreStackItem>;

// Progress of a trace, 0 to 1000. Only called, never waited on.
class TTraceProgress {
 public:
  virtual void SetPosition(int position) = 0;

 protected:
  ~TTraceProgress() = default;
};

// Inputs of one trace, in the order of their meaning.
struct TTraceInput {
  bool HideUglyItems = false;          // setting HideUglyItems
  bool ShowRelativeAddresses = false;  // setting ShowRelAddrs
  bool ShowRelativeLines = false;      // setting ShowRelLines
  bool DontAddTopItem = false;
  // Minimal debug informations of the modules involved, "module|text"; new
  // ones are appended (compared without case). May be null.
  std::vector<std::string>* MinDebugInfos = nullptr;
  const std::atomic<bool>* Abort = nullptr;  // polled; may be null
  // Candidates collected earlier (PrepareStackCandidates); may be null.
  const TDAPreStackItem* PreparedStack = nullptr;
  // The exception is the termination exception of the second language
  // runtime: items from its throw routine on are hidden.
  bool CppTermination = false;
  Address FramePointer = 0;
  TTraceProgress* Progress = nullptr;  // may be null
  Address CreationAddress = 0;         // where the thread was created; 0: none
  Address StackTop = 0;                // 0: the current thread's
  Address StackBottom = 0;             // 0: the current stack pointer
  bool IsExternalException = false;    // a processor fault
  bool IsException = false;
  // The exception address; with IsException false and 0, for the calling
  // thread (StackBottom 0) the caller's own return address, for another
  // thread none.
  Address CurrentAddress = 0;
  // Fill TTraceOutput::Items too (the report needs only the text).
  bool ListItems = false;
};

// Outputs of one trace.
struct TTraceOutput {
  std::string Text;                  // lines separated by CR LF, none after the last
  bool HasLineInfo = false;          // some written line has a RelativeLine above 0
  std::uint32_t Crc1 = 0, Crc2 = 0;  // duplicate detection
  // Entry of the innermost written function with a line (else with a start)
  // and the item address inside it (the disassembly section).
  Address ExceptionFunctionEntry = 0;
  Address ExceptionFunctionAddress = 0;
  Address ExceptionAddress = 0;  // the innermost item's CodeAddress
  TStackTrace Items;             // one per written line, with ListItems only
};

// Traces the stack described by input. An unreadable stack range gives an
// empty text; an abort gives whatever exists when the current phase ends
// (an empty text unless composing finished). Never throws.
void TraceThreadStack(const TTraceInput& input, TTraceOutput& output);

// The light variant: the candidate return addresses of [stackBottom,
// stackTop) now, for a trace later (stack bounds 0 as in TTraceInput).
// With isException, the scan stops at the slot holding currentAddress.
// Returns the count (0 and an empty array after a fault).
std::uint32_t PrepareStackCandidates(Address framePointer, Address stackTop, Address stackBottom,
                                     TDAPreStackItem& prepared, bool isException,
                                     Address currentAddress);

// One code address as a location line:
// "00401a2b +1b demo.exe Unit1 42 +3 TForm1.Button1Click"; without symbols
// "00401a2b +0 ???" (" +0" only with relative addresses).
std::string FormatCodeLocation(Address address, bool showRelativeAddress, bool showRelativeLine);

// Frees the process-wide module and function caches (shutdown, tests).
void ClearStackTraceCaches();

}  // namespace corvan::crash
