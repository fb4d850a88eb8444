// The module list of this process against the system's answers: Toolhelp
// for the modules and their paths, GetFileVersionInfo for the versions.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <set>
#include <tuple>

#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/zelListModules.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

using ModuleKey = std::tuple<std::uint32_t, std::string, std::string>;  // base, name, folder

std::set<ModuleKey> ToolhelpModules() {
  std::set<ModuleKey> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Module32First(snapshot, &entry); ok; ok = Module32Next(snapshot, &entry)) {
    const std::string path = entry.szExePath;
    modules.emplace(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry.modBaseAddr)),
                    LowerCase(FileNamePart(path)), LowerCase(path.substr(0, path.rfind('\\'))));
  }
  CloseHandle(snapshot);
  return modules;
}

// The version as the version resource API reads it; empty when none.
std::string SystemVersion(const std::string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (!size) return {};
  std::string data(size, '\0');
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
      !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) {
    return {};
  }
  if (!fixed->dwFileVersionMS && !fixed->dwFileVersionLS) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16,
                fixed->dwFileVersionMS & 0xffff, fixed->dwFileVersionLS >> 16,
                fixed->dwFileVersionLS & 0xffff);
  return text;
}

TEST(ModuleListWin, MatchesToolhelpWithTheSystemsVersions) {
  const std::vector<ModuleEntry> modules = LoadedModules();
  std::set<ModuleKey> ours;
  std::uint32_t previousBase = 0;
  for (const ModuleEntry& m : modules) {
    EXPECT_GT(m.base, previousBase) << m.fileName << ": not in address order";
    previousBase = m.base;
    ours.emplace(m.base, LowerCase(m.fileName), LowerCase(m.directory));
    EXPECT_EQ(m.version, SystemVersion(m.directory + "\\" + m.fileName)) << m.fileName;
  }
  EXPECT_EQ(ours, ToolhelpModules());
  // Some modules have a version, and the executable is there.
  EXPECT_TRUE(std::any_of(modules.begin(), modules.end(),
                          [](const ModuleEntry& m) { return !m.version.empty(); }));
  EXPECT_TRUE(std::any_of(modules.begin(), modules.end(), [](const ModuleEntry& m) {
    return m.base == reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
  }));
}

TEST(ModuleListWin, OneAlignedLinePerModule) {
  const std::vector<ModuleEntry> modules = LoadedModules();
  const std::string text = ListModules();
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.substr(text.size() - 2), "\r\n");
  std::size_t lines = 0, versionColumn = 0;
  for (std::size_t at = 0; at <= text.size(); ++lines) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    ASSERT_LT(lines, modules.size());
    const ModuleEntry& m = modules[lines];
    EXPECT_EQ(line.substr(0, 9), AddressText(m.base) + " ");
    EXPECT_EQ(line.substr(9, m.fileName.size()), m.fileName);
    // The version column starts at the same place on every line.
    const std::size_t column = line.find_first_not_of(' ', 9 + m.fileName.size());
    if (!m.version.empty()) {
      EXPECT_EQ(line.substr(column, m.version.size()), m.version);
      if (!versionColumn) versionColumn = column;
      EXPECT_EQ(column, versionColumn) << line;
    }
    EXPECT_EQ(line.substr(line.size() - m.directory.size()), m.directory);
    at = end + 2;
  }
  EXPECT_EQ(lines, modules.size());
}

}  // namespace
}  // namespace corvan::crash
