#include "crash/core/MemoryReserve.h"

#include <windows.h>

namespace corvan::crash {
namespace {

constexpr int kBlocks = 4;
void* reserved[kBlocks] = {};   // 4 MB of address space each
void* committed[kBlocks] = {};  // 512 KB of memory each
volatile LONG lock = 0;

}  // namespace

void AllocateMemoryReserve() {
  while (InterlockedExchange(&lock, 1)) Sleep(0);
  for (int i = 0; i < kBlocks; ++i) {
    if (!reserved[i]) reserved[i] = VirtualAlloc(nullptr, 4 << 20, MEM_RESERVE, PAGE_NOACCESS);
    if (!committed[i]) committed[i] = VirtualAlloc(nullptr, 512 << 10, MEM_COMMIT, PAGE_NOACCESS);
  }
  InterlockedExchange(&lock, 0);
}

void ReleaseMemoryReserve() {
  while (InterlockedExchange(&lock, 1)) Sleep(0);
  for (int i = 0; i < kBlocks; ++i) {
    if (reserved[i]) VirtualFree(reserved[i], 0, MEM_RELEASE);
    if (committed[i]) VirtualFree(committed[i], 0, MEM_RELEASE);
    reserved[i] = committed[i] = nullptr;
  }
  InterlockedExchange(&lock, 0);
}

}  // namespace corvan::crash
