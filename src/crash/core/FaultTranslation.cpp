#include "crash/core/FaultTranslation.h"

#include <unwind.h>

#include <csignal>
#include <exception>

#include "common/GuardedFrame.h"
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/SafeRead.h"
#include "crash/analysis/Threads.h"
#include "crash/core/CapturedException.h"
#include "crash/core/CrashHandlerClient.h"
#include "crash/core/ExceptionClasses.h"
#include "crash/core/ExceptionDescription.h"
#include "crash/util/TextParts.h"

// The thunk a faulting thread resumes at: it pushes the resume address
// (in ecx) as the return address of corvan_throw_fault, so the unwinder
// sees a call made by the faulting function at the faulting instruction.
extern "C" void corvan_fault_thunk();
extern "C" [[noreturn]] void corvan_throw_fault();
asm(R"(
    .text
    .globl _corvan_fault_thunk
_corvan_fault_thunk:
    pushl %ecx
    jmp _corvan_throw_fault
)");

namespace corvan::crash {
namespace {

std::uint32_t ownCodeStart = 0, ownCodeEnd = 0;
void* vectoredHandler = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
std::terminate_handler previousTerminate = nullptr;

std::uint32_t Word(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

void FindOwnCode() {
  const auto base = reinterpret_cast<std::uint32_t>(OwnModule());
  const IMAGE_NT_HEADERS* nt = ImageNtHeaders(OwnModule());
  if (!nt) return;
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (!(section->Characteristics & IMAGE_SCN_CNT_CODE)) continue;
    const std::uint32_t start = base + section->VirtualAddress;
    const std::uint32_t end = start + section->Misc.VirtualSize;
    if (!ownCodeStart || start < ownCodeStart) ownCodeStart = start;
    if (end > ownCodeEnd) ownCodeEnd = end;
  }
}

bool IsTranslatable(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK:
      return true;
    default:
      return false;
  }
}

bool IsExecutable(std::uint32_t address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info)
    return false;
  return info.State == MEM_COMMIT &&
         (info.Protect &
          (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY));
}

// ---- The thread prepared in advance -------------------------------------

// One fatal fault at a time: the first thread to claim the slot reports,
// any other that faults meanwhile waits for the end of the process.
struct FatalFault {
  volatile LONG claimed = 0;
  EXCEPTION_RECORD record{};
  CONTEXT context{};
  DWORD threadId = 0;
  HANDLE request = nullptr;
  HANDLE done = nullptr;
  HANDLE thread = nullptr;
} fatal;

DWORD WINAPI FatalFaultThread(void*) noexcept {
  SetThreadName(GetCurrentThreadId(), "-");
  for (;;) {
    if (WaitForSingleObject(fatal.request, INFINITE) != WAIT_OBJECT_0) return 0;
    if (!fatal.claimed) return 0;  // the stop order
    try {
      ExceptionFacts facts = FactsOfFault(fatal.record, fatal.context);
      facts.crashedThreadId = fatal.threadId;
      SubmitException(std::move(facts));
    } catch (...) {
    }
    SetEvent(fatal.done);
  }
}

// How long another thread may hold the heap lock at a fault before the
// in-process path is given up: reporting allocates.
constexpr DWORD kHeapLockWaitMs = 2000;
// How long the in-process handling of a fatal fault may take to get its
// report as far as the box; past that the crash handler reports from
// outside, and without one the program ends rather than hang.
constexpr DWORD kInProcessLimitMs = 8000;
constexpr DWORD kStallSliceMs = 500;

// In-process reporting allocates, loads and waits for the reporter's own
// threads: a thread that holds the heap or loader lock, or is one of those
// threads, would wait for itself, and one whose heap another thread holds
// for good would wait for ever. The crash handler process reports such a
// fault from outside; this returns only when there is none or, where the
// program can still report, when no handler took it. A fault that a step
// of the reporter counts as its own failure stays with it.
void PassToCrashHandlerWhenUnsafe(const EXCEPTION_POINTERS* info, bool stepFault = false) {
  HandOverReason reason{};
  if (HoldsProcessLock(reason)) {
    HandOverToCrashHandler(info, reason);
    // The in-process path copes with the loader lock, not with the heap's.
    if (reason == HandOverReason::HeapLock) EndUnreported();
  } else if (IsReporterThread(GetCurrentThreadId())) {
    // The other threads may be paused by the reporter, holding the heap
    // lock: only a fault outside its steps leaves for the handler.
    if (!stepFault) HandOverToCrashHandler(info, HandOverReason::ReporterThread);
  } else if (HeapLockHeldElsewhere(kHeapLockWaitMs)) {
    HandOverToCrashHandler(info, HandOverReason::HeapLockElsewhere);
    EndUnreported();
  }
}

// Hands the fault to the prepared thread and waits; uses no stack to speak
// of and no heap, so it works after a stack overflow and inside a broken
// heap. The wait has a limit until the handling has its report; then the
// box is the user's.
void ReportThroughPreparedThread(const EXCEPTION_POINTERS* info) {
  PassToCrashHandlerWhenUnsafe(info);
  if (!fatal.thread || InterlockedExchange(&fatal.claimed, 1) != 0) {
    if (fatal.thread && fatal.threadId != GetCurrentThreadId()) {
      // Counted against the first fault, which the handler then reports.
      HandOverToCrashHandler(info, HandOverReason::SecondFault);
      // No handler: the first fault's handling ends the process, within
      // its own limit.
      Sleep(INFINITE);
    }
    return;
  }
  NoteFirstFault(info);
  fatal.record = *info->ExceptionRecord;
  fatal.context = *info->ContextRecord;
  fatal.threadId = GetCurrentThreadId();
  SetEvent(fatal.request);
  // Counted in slices, and only while no handling presents its report
  // (this one's or an earlier one's that holds it up): that wait is the
  // user's.
  DWORD stalledMs = 0;
  bool handedOver = false;
  while (WaitForSingleObject(fatal.done, kStallSliceMs) == WAIT_TIMEOUT) {
    stalledMs = HandlingPresents() ? 0 : stalledMs + kStallSliceMs;
    if (stalledMs < kInProcessLimitMs) continue;
    if (handedOver) EndUnreported();
    handedOver = true;
    stalledMs = 0;
    HandOverToCrashHandler(info, HandOverReason::NotSaved);
  }
  // Handling decides about the process; a fault that cannot continue
  // ends it when handling did not.
  TerminateProcess(GetCurrentProcess(), 1);
}

// ---- Fault translation ---------------------------------------------------

LONG CALLBACK VectoredHandler(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD& record = *info->ExceptionRecord;
  CONTEXT& context = *info->ContextRecord;
  if (record.ExceptionCode == kThreadNamingException) {
    if (record.NumberParameters >= 4 && record.ExceptionInformation[3] == 0) {
      RecordThreadNamingException(record);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (record.ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
    ReportThroughPreparedThread(info);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (!IsTranslatable(record.ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  GuardedFrame* guard = GuardedFrame::Innermost();
  if (!guard) return EXCEPTION_CONTINUE_SEARCH;
  std::uint32_t resume = 0, esp = context.Esp;
  if (InOwnCode(context.Eip)) {
    resume = context.Eip + 1;
  } else if (!IsExecutable(context.Eip)) {
    // A call through a bad pointer: continue from the caller's return address.
    std::uint32_t returnAddress = 0;
    if (!SafeRead(reinterpret_cast<const void*>(esp), &returnAddress, 4) ||
        !InOwnCode(returnAddress)) {
      return EXCEPTION_CONTINUE_SEARCH;
    }
    resume = returnAddress;
    esp += 4;
  } else {
    return EXCEPTION_CONTINUE_SEARCH;  // not our code: the unhandled-exception filter
  }
  PassToCrashHandlerWhenUnsafe(info, guard->FrameKind() == GuardedFrame::Step);
  guard->faultRecord = record;
  guard->faultContext = context;
  context.Esp = esp;
  context.Ecx = resume;
  context.Eip = Word(reinterpret_cast<const void*>(&corvan_fault_thunk));
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct ReachSearch {
  std::uintptr_t guard;
  bool reached = false;
};

_Unwind_Reason_Code FindGuard(_Unwind_Context* context, void* argument) {
  auto* search = static_cast<ReachSearch*>(argument);
  if (_Unwind_GetCFA(context) > search->guard) {
    search->reached = true;
    return _URC_NORMAL_STOP;
  }
  return _URC_NO_REASON;
}

ExceptionDescription DescribeFault(const EXCEPTION_RECORD& record, std::string message) {
  ExceptionDescription d;
  d.present = true;
  d.isStdException = true;
  d.message = std::move(message);
  d.classChain = ClassChain(FaultClass(record.ExceptionCode));
  return d;
}

std::string FaultText(const EXCEPTION_RECORD& record) {
  crash::FaultFacts fault;
  fault.code = record.ExceptionCode;
  fault.address = Word(record.ExceptionAddress);
  HMODULE module = nullptr;
  std::string path;
  if (ModuleFromAddress(record.ExceptionAddress, module, path))
    fault.moduleName = FileNamePart(path);
  if (record.NumberParameters >= 2) {
    fault.write = record.ExceptionInformation[0] != 0;
    fault.dataAddress = static_cast<std::uint32_t>(record.ExceptionInformation[1]);
  }
  return FaultMessage(fault);
}

[[noreturn]] void ThrowFault(const EXCEPTION_RECORD& record, std::string message) {
  const std::uint32_t code = record.ExceptionCode;
  const std::uint32_t address = Word(record.ExceptionAddress);
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      throw EAccessViolation(std::move(message), code, address);
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      throw EDivByZero(std::move(message), code, address);
    default:
      throw EExternalException(std::move(message), code, address);
  }
}

// ---- The runtime's last points -------------------------------------------

thread_local const char* terminationText = nullptr;

[[noreturn]] void EndAfterReport(bool mainThread) {
  RecordThreadInfo(GetCurrentThreadId(), {});
  if (!mainThread) ExitThread(0);
  TerminateProcess(GetCurrentProcess(), 1);
  for (;;) Sleep(INFINITE);
}

ExceptionFacts RuntimeEndFacts(const char* text, ExceptionSource source) {
  ExceptionFacts facts;
  facts.object.present = true;
  facts.object.isStdException = true;
  facts.object.classChain = ClassChain(typeid(ZelException));
  facts.object.message = text;
  facts.source = source;
  facts.address = Word(__builtin_return_address(0));
  return facts;
}

[[noreturn]] void OnTerminate() noexcept {
  const bool mainThread = GetCurrentThreadId() == MainThreadId();
  try {
    ExceptionFacts facts;
    if (std::exception_ptr error = std::current_exception()) {
      facts = FactsOf(error, ExceptionSource::LastChance);
    } else {
      facts = RuntimeEndFacts(terminationText ? terminationText : "Abnormal program termination",
                              ExceptionSource::LastChance);
    }
    facts.canContinue = !mainThread;
    SubmitException(std::move(facts));
  } catch (...) {
  }
  EndAfterReport(mainThread);
}

void OnAbort(int) {
  const bool mainThread = GetCurrentThreadId() == MainThreadId();
  try {
    ExceptionFacts facts =
        RuntimeEndFacts("Abnormal program termination", ExceptionSource::TerminationError);
    facts.canContinue = false;
    SubmitException(std::move(facts));
  } catch (...) {
  }
  TerminateProcess(GetCurrentProcess(), 1);
  (void)mainThread;
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  // C++ exceptions of the runtime end in OnTerminate; anything else is a
  // fault that no frame of ours could take.
  if (code != 0x20474343) ReportThroughPreparedThread(info);
  return previousFilter ? previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool InOwnCode(std::uint32_t address) {
  if (!ownCodeEnd) FindOwnCode();
  return address >= ownCodeStart && address < ownCodeEnd;
}

ExceptionFacts FactsOfFault(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  ExceptionFacts facts;
  facts.object = DescribeFault(record, FaultText(record));
  facts.address = Word(record.ExceptionAddress);
  facts.source = ExceptionSource::SystemException;
  facts.hasContext = true;
  facts.context = context;
  facts.record = record;
  facts.record.ExceptionRecord = nullptr;
  facts.canContinue = false;
  facts.external = true;
  return facts;
}

bool InstallFaultTranslation() {
  FindOwnCode();
  fatal.request = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  fatal.done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (fatal.request && fatal.done) {
    DWORD id = 0;
    fatal.thread = CreateThread(nullptr, 64 * 1024, FatalFaultThread, nullptr, 0, &id);
  }
  vectoredHandler = AddVectoredExceptionHandler(1, VectoredHandler);
  previousFilter = SetUnhandledExceptionFilter(UnhandledFilter);
  previousTerminate = std::set_terminate(OnTerminate);
  std::signal(SIGABRT, OnAbort);
  return fatal.thread != nullptr;
}

void RemoveFaultTranslation() {
  std::signal(SIGABRT, SIG_DFL);
  std::set_terminate(previousTerminate);
  SetUnhandledExceptionFilter(previousFilter);
  if (vectoredHandler) RemoveVectoredExceptionHandler(vectoredHandler);
  vectoredHandler = nullptr;
  if (fatal.thread) {
    if (InterlockedCompareExchange(&fatal.claimed, 0, 0) == 0) {
      SetEvent(fatal.request);  // unclaimed: the thread ends
      WaitForSingleObject(fatal.thread, 500);
    }
    CloseHandle(fatal.thread);
    fatal.thread = nullptr;
  }
}

}  // namespace corvan::crash

// Runs on the faulting thread's stack in place of the faulting
// instruction: throws the fault as a C++ exception when a guarded frame
// can be reached by unwinding, reports it as fatal otherwise.
extern "C" [[noreturn]] void corvan_throw_fault() {
  using namespace corvan::crash;
  corvan::GuardedFrame* guard = corvan::GuardedFrame::Innermost();
  const EXCEPTION_RECORD record = guard->faultRecord;
  const CONTEXT context = guard->faultContext;
  ReachSearch search{reinterpret_cast<std::uintptr_t>(guard)};
  _Unwind_Backtrace(FindGuard, &search);
  if (!search.reached) {
    ExceptionFacts facts = FactsOfFault(record, context);
    try {
      SubmitException(std::move(facts));
    } catch (...) {
    }
    TerminateProcess(GetCurrentProcess(), 1);
  }
  SetPendingFault(record, context);
  ThrowFault(record, FaultText(record));
}

// A pure virtual call names itself before it ends in terminate.
extern "C" [[noreturn]] void __wrap___cxa_pure_virtual() {
  corvan::crash::terminationText = "Pure virtual function call";
  std::terminate();
}
