// A program whose worker thread faults with nothing to catch the fault: the
// test prefixes must end it at once (see unhandled_fault.sh).
#include <windows.h>

#include <cstdio>

namespace {

DWORD WINAPI FaultingThread(void*) {
  // Execute access to an unmapped page, as a call into an unloaded library.
  auto* volatile target = reinterpret_cast<void (*)()>(0x10);
  target();
  return 0;
}

}  // namespace

int main() {
  HANDLE thread = ::CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
  if (!thread) return 2;
  ::WaitForSingleObject(thread, 120000);
  std::puts("still running after the fault");
  return 0;
}
