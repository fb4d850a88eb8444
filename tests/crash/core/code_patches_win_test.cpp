// Patches of this program's own code and memory: calls go where the patch
// says until it is reverted, protections come back as the system reports
// them, and memory that cannot be patched is left alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "crash/core/CodePatchesWin.h"
#include "crash/core/zelExcept.h"

namespace corvan::crash {
namespace {

__attribute__((noipa)) int Original(int x) { return x + 1; }
__attribute__((noipa)) int Replacement(int x) { return x * 10; }
__attribute__((noipa)) int Theirs(int x) { return x - 100; }

// Calls through a pointer the compiler cannot see through.
int Call(int (*function)(int), int x) {
  int (*volatile opaque)(int) = function;
  return opaque(x);
}

std::uintptr_t At(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
std::uintptr_t At(int (*function)(int)) { return reinterpret_cast<std::uintptr_t>(function); }

DWORD Protection(const void* address) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(address, &info, sizeof info);
  return info.Protect;
}

// Writes a jump the way another hooking component would.
void ForeignJump(int (*from)(int), int (*to)(int)) {
  unsigned char code[5] = {0xE9};
  const auto displacement = static_cast<std::uint32_t>(At(to) - (At(from) + 5));
  std::memcpy(code + 1, &displacement, 4);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(reinterpret_cast<void*>(from), 5, PAGE_EXECUTE_READWRITE, &old));
  std::memcpy(reinterpret_cast<void*>(from), code, 5);
  VirtualProtect(reinterpret_cast<void*>(from), 5, old, &old);
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(from), 5);
}

class CodePatchesWin : public ::testing::Test {
 protected:
  ProcessMemory memory_;
  CodePatches patches_{memory_};
};

TEST_F(CodePatchesWin, APatchedFunctionRunsTheReplacementUntilReverted) {
  const DWORD protection = Protection(reinterpret_cast<void*>(Original));
  unsigned char before[5];
  std::memcpy(before, reinterpret_cast<void*>(Original), 5);
  ASSERT_TRUE(patches_.WriteJumpPatch(At(Original), At(Replacement)));
  EXPECT_EQ(Call(Original, 3), 30);
  EXPECT_EQ(Protection(reinterpret_cast<void*>(Original)), protection);
  patches_.RevertPatches();
  EXPECT_EQ(Call(Original, 3), 4);
  EXPECT_EQ(std::memcmp(before, reinterpret_cast<void*>(Original), 5), 0);
  EXPECT_EQ(Protection(reinterpret_cast<void*>(Original)), protection);
}

TEST_F(CodePatchesWin, AJumpThroughAnImportSlotIsFollowedToItsDestination) {
  auto* page = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_TRUE(page);
  auto* slot = reinterpret_cast<std::uint32_t*>(page + 64);
  *slot = static_cast<std::uint32_t>(At(Original));
  const std::uint32_t slotAddress = static_cast<std::uint32_t>(At(slot));
  page[0] = 0xFF;
  page[1] = 0x25;
  std::memcpy(page + 2, &slotAddress, 4);
  const auto stub = reinterpret_cast<int (*)(int)>(page);

  ASSERT_TRUE(patches_.WriteJumpPatch(At(page), At(Replacement)));
  EXPECT_EQ(page[0], 0xFF);
  EXPECT_EQ(Call(stub, 4), 40);
  EXPECT_EQ(Call(Original, 4), 40);
  patches_.RevertPatches();
  EXPECT_EQ(Call(stub, 4), 5);
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(CodePatchesWin, RevertLeavesAFunctionThatSomeoneElseHookedAfterUs) {
  unsigned char before[5];
  std::memcpy(before, reinterpret_cast<void*>(Original), 5);
  ASSERT_TRUE(patches_.WriteJumpPatch(At(Original), At(Replacement)));
  ForeignJump(Original, Theirs);
  patches_.RevertPatches();
  EXPECT_EQ(Call(Original, 3), -97);
  // Unhook as the other component would.
  DWORD old = 0;
  VirtualProtect(reinterpret_cast<void*>(Original), 5, PAGE_EXECUTE_READWRITE, &old);
  std::memcpy(reinterpret_cast<void*>(Original), before, 5);
  VirtualProtect(reinterpret_cast<void*>(Original), 5, old, &old);
  EXPECT_EQ(Call(Original, 3), 4);
}

TEST_F(CodePatchesWin, APatchAcrossTwoPagesGivesEachItsOwnProtectionBack) {
  auto* pages = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_TRUE(pages);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + 4096, 4096, PAGE_EXECUTE_READ, &old));
  ASSERT_TRUE(patches_.WriteValuePatch(At(pages + 4094), 0x11223344));
  EXPECT_EQ(Protection(pages), static_cast<DWORD>(PAGE_READWRITE));
  EXPECT_EQ(Protection(pages + 4096), static_cast<DWORD>(PAGE_EXECUTE_READ));
  std::uint32_t value = 0;
  std::memcpy(&value, pages + 4094, 4);
  EXPECT_EQ(value, 0x11223344u);
  patches_.RevertPatches();
  std::memcpy(&value, pages + 4094, 4);
  EXPECT_EQ(value, 0u);
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(CodePatchesWin, MemoryThatCannotBePatchedIsSkippedSilently) {
  auto* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  auto* noAccess = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_TRUE(reserved && noAccess);
  EXPECT_FALSE(patches_.WriteJumpPatch(At(reserved), At(Replacement)));
  EXPECT_FALSE(patches_.WriteCallPatch(At(noAccess), At(Replacement)));
  EXPECT_EQ(Protection(noAccess), static_cast<DWORD>(PAGE_NOACCESS));
  // A read-only view of a read-only section: readable, never writable.
  HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 4096, nullptr);
  ASSERT_TRUE(section);
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 4096);
  ASSERT_TRUE(view);
  EXPECT_FALSE(patches_.WriteValuePatch(At(view), 1));
  EXPECT_EQ(*static_cast<volatile std::uint32_t*>(view), 0u);
  EXPECT_TRUE(patches_.Records().empty());
  UnmapViewOfFile(view);
  CloseHandle(section);
  VirtualFree(reserved, 0, MEM_RELEASE);
  VirtualFree(noAccess, 0, MEM_RELEASE);
}

TEST(ProcessPatches, TheReportersShutdownRevertsThem) {
  ASSERT_TRUE(ReporterActive());
  ASSERT_TRUE(ProcessPatches().WriteJumpPatch(At(Original), At(Replacement)));
  EXPECT_EQ(Call(Original, 2), 20);
  StopReporter();
  EXPECT_EQ(Call(Original, 2), 3);
  EXPECT_TRUE(ProcessPatches().Records().empty());
  StartReporter();
  EXPECT_TRUE(ReporterActive());
}

}  // namespace
}  // namespace corvan::crash
