#pragma once
// Processor faults and the ends of the runtime: the vectored handler that
// turns a fault in our own code under a guarded frame into a C++
// exception, the thread prepared in advance that reports faults nobody
// can unwind (foreign code, stack overflow), and the terminate, abort and
// unhandled-exception points.
#include <windows.h>

#include <cstdint>

#include "crash/core/ExceptionPipeline.h"

namespace corvan::crash {

// Installs every point; false when the prepared thread could not start.
bool InstallFaultTranslation();
void RemoveFaultTranslation();

// The facts of a processor fault: a ZelException-like description of the
// class the fault translation would throw, the runtime's message.
ExceptionFacts FactsOfFault(const EXCEPTION_RECORD& record, const CONTEXT& context);

// The code range of this program's own code.
bool InOwnCode(std::uint32_t address);

}  // namespace corvan::crash
