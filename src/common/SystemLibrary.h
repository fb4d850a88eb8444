#pragma once
// Libraries of Windows that the program loads at run time come from the
// system folder only: a DLL of the same name placed beside the program
// (say in a downloads folder), in the current folder or on PATH is never
// loaded. Windows only.
#include <windows.h>

namespace corvan {

// Restricts the search for every library loaded from now on, also those
// the system loads on the program's behalf, to the system folder, and
// takes the current folder out of the older search order. Called first
// thing at start-up; without the system's support nothing else changes.
void RestrictLibrarySearch();

// Loads a library (a plain name such as "dbghelp.dll") from the system
// folder only; null when it is not there. The caller owns the reference.
HMODULE LoadSystemLibrary(const char* name);

// A function of a system library, loaded from the system folder when not
// yet loaded (and then kept for the process); null when the library or
// the function is missing.
void* SystemFunctionAddress(const char* library, const char* name);
template <class F>
F SystemFunction(const char* library, const char* name) {
  return reinterpret_cast<F>(SystemFunctionAddress(library, name));
}

}  // namespace corvan
