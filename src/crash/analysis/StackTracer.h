#pragma once
// The stack tracer's phases over any memory view: the live process on
// Windows, hand-made stacks and modules in the tests. zelStackTrace.h is
// the interface for the running process; this is what it is built on.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "crash/analysis/x86/FunctionParser.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/analysis/zelStackTrace.h"

namespace corvan::crash {

// What the tracer knows about one module.
struct TTraceModule {
  Address Base = 0;
  std::string FileName;                // without path
  Address CodeStart = 0, CodeEnd = 0;  // [CodeStart, CodeEnd]
  Address DataStart = 0, DataEnd = 0;
  Address EntryPoint = 0;        // 0: none
  std::vector<Address> Exports;  // ascending
  TMapFileRef Map;               // null: no symbols
  bool IsMainProgram = false;
  bool HasMap() const { return Map && Map->Loaded; }
};

// The process the tracer reads. Implementations must not throw.
class TTraceEnvironment {
 public:
  virtual const TMemoryView& View() const = 0;
  // The module whose allocation starts at base; false when that allocation
  // is no module (no file name or no headers).
  virtual bool DescribeModule(Address base, TTraceModule& module) const = 0;
  // The allocation base of the module holding the tracer itself.
  virtual Address OwnModuleBase() const = 0;
  // The runtime routines of the tracer's own module and its parse options.
  virtual const TRuntimeRoutines& OwnRoutines() const = 0;
  virtual TParseOptions ParseOptionsFor(Address moduleBase) const = 0;
  // Where a processor fault inside the trace happened (0: none, or a
  // failure that was no fault), and the location line of an address, for
  // the internal-error text; empty when the environment cannot name it.
  virtual Address FaultAddress() const { return 0; }
  virtual std::string LocationLine(Address) const { return {}; }

 protected:
  ~TTraceEnvironment() = default;
};

// The module and function caches (kept between traces) and one trace at a
// time. Not thread-safe: traces are serialised by the caller.
class TStackTracer {
 public:
  TStackTracer();
  ~TStackTracer();

  // Runs the phases for input over env. input's zero stack bounds and
  // current address must be resolved by the caller.
  void Trace(const TTraceEnvironment& env, const TTraceInput& input, TTraceOutput& output);

  // The light collection; the array's element 0 holds the count.
  std::uint32_t Prepare(const TTraceEnvironment& env, Address framePointer, Address stackTop,
                        Address stackBottom, TDAPreStackItem& prepared, bool isException,
                        Address currentAddress);

  void ClearCaches();

  // Hook for tests: called at the start of each phase with its name.
  void (*PhaseHook)(const char* phase) = nullptr;

 private:
  struct TState;
  struct TModuleEntry {
    TTraceModule Module;
    TRuntimeRoutines Routines;
    bool OwnModule = false;
  };
  struct TFunctionEntry {
    int Module = -1;
    std::string Name;
    TFunctionInfo Info;
    bool Approved = false;
    bool Invalid = false;
    bool NoCode = false;  // pseudo function at an unreadable address
    // Name and unit as a trace shows them (Name unmangled), made on first use.
    bool ShownNamesReady = false;
    std::string ShownName, ShownUnit;
  };
  friend struct TState;

  std::vector<TModuleEntry> modules_;
  std::unordered_map<Address, int> moduleByBase_;
  std::vector<TFunctionEntry> functions_;
  std::unordered_map<Address, int> functionByEntry_;
};

// The call test: the bytes before value end in a call instruction (call
// rel32, far call, or an indirect call of 2, 3, 4, 6 or 7 bytes).
bool EndsInCall(const TMemoryView& view, Address value);

// The text of an internal error in phase; location (may be empty) is the
// fault's location line, exceptionLocation (may be empty) the exception's.
std::string InternalErrorText(const std::string& phase, const std::string& location,
                              const std::string& exceptionLocation);

}  // namespace corvan::crash
