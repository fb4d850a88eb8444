// Image and module helpers on the running process, with the system's own
// answers (GetProcAddress, Toolhelp, GetFileVersionInfo) as the oracle.
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/util/TextParts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace corvan::crash {
namespace {

std::set<std::pair<HMODULE, std::string>> ToolhelpModules() {
  std::set<std::pair<HMODULE, std::string>> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Module32First(snapshot, &entry); ok; ok = Module32Next(snapshot, &entry)) {
    modules.emplace(entry.hModule, LowerCase(entry.szModule));
  }
  CloseHandle(snapshot);
  return modules;
}

TEST(ImageHelpersWin, ModuleListMatchesToolhelp) {
  std::set<std::pair<HMODULE, std::string>> ours;
  for (const TModule& m : ModuleList()) ours.emplace(m.base, LowerCase(m.fileName));
  EXPECT_EQ(ours, ToolhelpModules());
}

TEST(ImageHelpersWin, HeadersAndModuleOfAnAddress) {
  const HMODULE exe = GetModuleHandleA(nullptr);
  EXPECT_TRUE(ImageNtHeaders(exe));
  EXPECT_EQ(ImageNtHeaders(exe)->Signature, IMAGE_NT_SIGNATURE);
  auto heap = std::make_unique<char[]>(64);
  EXPECT_FALSE(ImageNtHeaders(heap.get()));
  EXPECT_FALSE(ImageNtHeaders(reinterpret_cast<void*>(0x10)));
  EXPECT_TRUE(ImageExportDirectory(GetModuleHandleA("kernel32.dll")));
  HMODULE module;
  std::string path;
  ASSERT_TRUE(ModuleFromAddress(reinterpret_cast<void*>(&ModuleList), module, path));
  EXPECT_EQ(module, exe);
  EXPECT_EQ(path, ModulePath(nullptr));
  EXPECT_FALSE(ModuleFromAddress(nullptr, module, path));
  EXPECT_FALSE(ModuleFromAddress(heap.get(), module, path));
  EXPECT_EQ(OwnModule(), exe);
}

// Every named export of the system's core modules resolves, forwarders
// included, to what GetProcAddress says.
TEST(ImageHelpersWin, ExportsAgreeWithGetProcAddress) {
  for (const char* name : {"kernel32.dll", "ntdll.dll", "user32.dll", "advapi32.dll"}) {
    const HMODULE module = GetModuleHandleA(name);
    ASSERT_TRUE(module) << name;
    LiveModuleBytes bytes(module);
    const PeImage image(bytes, ImageLayout::Mapped);
    int compared = 0;
    for (const PeExport& e : image.Exports()) {
      const void* expected =
          e.name.empty()
              ? reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal)))
              : reinterpret_cast<void*>(GetProcAddress(module, e.name.c_str()));
      if (!expected) continue;  // a forwarder into a module that is not loaded
      if (!e.name.empty()) {
        EXPECT_EQ(ExportAddress(module, e.name.c_str()), expected) << name << "!" << e.name;
      }
      EXPECT_EQ(ExportAddress(module, e.ordinal), expected) << name << " #" << e.ordinal;
      ++compared;
    }
    EXPECT_GT(compared, 100) << name;
  }
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  EXPECT_EQ(ExportAddress(kernel32, "CreateFileA", true),
            reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateFileA")));
  EXPECT_EQ(ExportAddress(kernel32, "NoSuchExport"), nullptr);
  EXPECT_EQ(
      ExportNameAt(kernel32, reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateFileA"))),
      "CreateFileA");
  EXPECT_EQ(ExportNameAt(kernel32, reinterpret_cast<char*>(kernel32) + 1), "");
}

// The version read from each loaded module's resources equals what the
// version API reads from its file.
TEST(ImageHelpersWin, VersionsAgreeWithGetFileVersionInfo) {
  int withVersion = 0;
  for (const TModule& m : ModuleList()) {
    LiveModuleBytes bytes(m.base);
    const PeImage image(bytes, ImageLayout::Mapped);
    const auto fixed = image.FileVersion();
    const std::uint64_t expected = FileVersion(ModulePath(m.base));
    EXPECT_EQ(fixed ? fixed->FileVersion() : 0, expected) << m.fileName;
    withVersion += expected != 0;
  }
  EXPECT_GT(withVersion, 2);
  EXPECT_EQ(FileVersion(ModulePath(nullptr)), 0u);  // this program has no version resource
  EXPECT_EQ(FileVersion("C:\\no\\such\\file.dll"), 0u);
}

DWORD WINAPI FakeTickCount() { return 42; }

// Calls through the import slot each time (the compiler may otherwise keep
// the slot's value in a register across the patch).
__attribute__((noinline)) DWORD TickCountThroughImport() {
  asm volatile("" ::: "memory");
  return GetTickCount();
}

TEST(ImageHelpersWin, PatchImportsRedirectsAndRestores) {
  const void* real =
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
  const TDAModule self = {{GetModuleHandleA(nullptr), "crash_tools_win_test.exe"}};
  ASSERT_GE(PatchImports(self, real, reinterpret_cast<void*>(&FakeTickCount)), 1);
  EXPECT_EQ(TickCountThroughImport(), 42u);
  EXPECT_GE(PatchImports(self, reinterpret_cast<void*>(&FakeTickCount), real), 1);
  EXPECT_NE(TickCountThroughImport(), 42u);
}

}  // namespace
}  // namespace corvan::crash
