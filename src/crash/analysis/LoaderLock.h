#pragma once
// Whether the loader lock or the process-environment lock of this process
// is held (by any thread): work that loads modules must wait then.
#include <windows.h>

namespace corvan::crash {

// Tests every 10 ms while a lock is held, for at most waitMs; true when
// one is still held at the end.
bool IsLoaderLockHeld(DWORD waitMs);

}  // namespace corvan::crash
