// A second module with its own copy of the reporter code and its own
// settings resource, loaded by the Windows settings tests to show that
// both copies share one set of records and one thread list.
#include <windows.h>

#include <string>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LoaderLock.h"
#include "crash/analysis/Threads.h"
#include "crash/core/ProcessSettings.h"

using namespace corvan::crash;

namespace {
bool loaderLockAtAttach = false;
std::string lastText;
}  // namespace

extern "C" __declspec(dllexport) int TestModuleGetInt(const char* name) {
  return CreateSettings(OwnModule())->GetInt(name);
}

extern "C" __declspec(dllexport) const char* TestModuleGetStr(const char* name) {
  lastText = CreateSettings(OwnModule())->GetStr(name);
  return lastText.c_str();
}

// Settings of a module without a resource: answered by the main settings
// object, wherever in the process it lives.
extern "C" __declspec(dllexport) int TestModuleForeignGetInt(const char* name) {
  return CreateSettings(GetModuleHandleA("kernel32.dll"))->GetInt(name);
}

extern "C" __declspec(dllexport) void TestModuleSetThreadName(const char* name) {
  SetThreadName(GetCurrentThreadId(), name);
}

extern "C" __declspec(dllexport) int TestModuleLoaderLockAtAttach() { return loaderLockAtAttach; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) loaderLockAtAttach = IsLoaderLockHeld(0);
  return TRUE;
}
