#pragma once
// The message loop of a test's own thread, where socket components deliver
// their events.
#include <windows.h>

#include <functional>

namespace corvan::net::testing {

// Dispatches messages of the calling thread until done() holds or the time
// is up; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);
// Dispatches messages for the given time.
void PumpFor(DWORD ms);

}  // namespace corvan::net::testing
