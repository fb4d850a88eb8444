#include "crash/analysis/zelListModules.h"

#include <algorithm>

#include "crash/analysis/ListColumns.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {

ModuleEntry ModuleEntryFromPath(std::uint32_t base, const std::string& path, std::string version) {
  ModuleEntry entry;
  entry.base = base;
  entry.version = std::move(version);
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string::npos) {
    entry.fileName = path;
  } else {
    entry.fileName = path.substr(slash + 1);
    entry.directory = path.substr(0, slash);
  }
  return entry;
}

std::string ModuleListText(const std::vector<ModuleEntry>& modules) {
  std::size_t nameWidth = 0, versionWidth = 0;
  for (const ModuleEntry& m : modules) {
    nameWidth = std::max(nameWidth, m.fileName.size());
    versionWidth = std::max(versionWidth, m.version.size());
  }
  std::string text;
  for (const ModuleEntry& m : modules) {
    if (!text.empty()) text += "\r\n";
    text += AddressText(m.base) + " ";
    AppendColumn(text, m.fileName, nameWidth + 1);
    AppendColumn(text, m.version, versionWidth + 1);
    text += m.directory;
  }
  return text;
}

}  // namespace corvan::crash
