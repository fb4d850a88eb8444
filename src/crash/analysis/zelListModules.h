#pragma once
// The "modules" section of the bug report: every module loaded in this
// process with its file version. Formatting is portable; collecting the
// modules reads this process's address space (Windows).
#include <cstdint>
#include <string>
#include <vector>

namespace corvan::crash {

struct ModuleEntry {
  std::uint32_t base = 0;
  std::string fileName;
  std::string version;    // empty when the file has none
  std::string directory;  // without the trailing backslash
};

// Splits a full path at its last backslash into file name and directory.
ModuleEntry ModuleEntryFromPath(std::uint32_t base, const std::string& path, std::string version);

// One line per module in the given order: base as 8 hex digits, the file
// name and the version each in a column one wider than its longest value,
// then the directory. Lines are joined by CR LF.
std::string ModuleListText(const std::vector<ModuleEntry>& modules);

#ifdef _WIN32
// The modules of this process in address order, found by walking the
// address space: a committed region that starts its own allocation and
// has a module file name. Never throws for unreadable memory.
std::vector<ModuleEntry> LoadedModules();
// The plugin: ModuleListText(LoadedModules()).
std::string ListModules();
#endif

}  // namespace corvan::crash
