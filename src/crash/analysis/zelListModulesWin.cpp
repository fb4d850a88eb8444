#include <windows.h>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/zelListModules.h"

namespace corvan::crash {

std::vector<ModuleEntry> LoadedModules() {
  std::vector<ModuleEntry> modules;
  modules.reserve(32);
  const void* previousAllocation = nullptr;
  MEMORY_BASIC_INFORMATION info;
  for (std::uintptr_t at = 0;
       VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == sizeof info;) {
    if (info.State == MEM_COMMIT && info.AllocationBase == info.BaseAddress &&
        info.AllocationBase != previousAllocation) {
      char path[MAX_PATH + 1];
      const DWORD length =
          GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), path, MAX_PATH);
      if (length > 0 && length < MAX_PATH) {
        const std::string file(path, length);
        const std::uint64_t version = FileVersion(file);
        modules.push_back(ModuleEntryFromPath(
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.BaseAddress)), file,
            version ? FileVersionText(version) : std::string()));
      }
    }
    previousAllocation = info.AllocationBase;
    const std::uintptr_t next =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (info.RegionSize == 0 || next <= at) break;  // the top of the address space
    at = next;
  }
  return modules;
}

std::string ListModules() { return ModuleListText(LoadedModules()); }

}  // namespace corvan::crash
