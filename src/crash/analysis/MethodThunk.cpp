#include "crash/analysis/MethodThunk.h"

#include <windows.h>

#include <cstring>

namespace corvan::crash {

MethodThunk::MethodThunk(void* object, void* target) {
  static_assert(sizeof(void*) == 4, "the thunk is 32-bit code");
  code_ = static_cast<std::uint8_t*>(
      VirtualAlloc(nullptr, 17, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (!code_) return;
  const auto put32 = [this](int at, const void* value) { std::memcpy(code_ + at, &value, 4); };
  code_[0] = 0x58;  // pop eax      (the return address)
  code_[1] = 0x68;  // push object
  put32(2, object);
  code_[6] = 0x50;  // push eax     (return address back on top)
  code_[7] = 0xFF;  // jmp [next dword]
  code_[8] = 0x25;
  put32(9, code_ + 13);
  put32(13, target);
  FlushInstructionCache(GetCurrentProcess(), code_, 17);
}

MethodThunk::~MethodThunk() {
  if (code_) VirtualFree(code_, 0, MEM_RELEASE);
}

}  // namespace corvan::crash
