#pragma once
// The crash reporter's life in this process: it starts before every other
// static initialiser of the program (and stops after all of them), hooks
// the framework's exception points and threads, the runtime's terminate
// and abort, processor faults and the unhandled-exception filter, and
// exports zelTraceProcess for outside tools.
#include <windows.h>

#include <cstdint>
#include <string>

namespace corvan::crash {

void StartReporter();
void StopReporter();
bool ReporterActive();

// The performance counter at start-up (0 before).
std::int64_t ReporterStartCounter();

// Copies text, cut to fit, with a terminating NUL into the view at
// address: at most claimedSize - 1 characters, and never more than the
// committed memory from address to the end of its region allows.
// Returns the characters written.
std::size_t CopyToView(void* view, std::int32_t claimedSize, const std::string& text);

}  // namespace corvan::crash

// Builds a report of the whole process. mapSize < 1: onto the clipboard;
// otherwise into the named mapping "zelTraceProcessMap" the caller created.
extern "C" __declspec(dllexport) LONG __stdcall zelTraceProcess(LONG mapSize);
