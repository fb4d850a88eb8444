#include "crash/analysis/LiveMemoryView.h"

#include <windows.h>

#include <algorithm>

namespace corvan::crash {
namespace {

const void* Pointer(Address address) {
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
}

}  // namespace

std::size_t TLiveMemoryView::ReadUpTo(Address address, void* dest, std::size_t count) const {
  if (session_) return session_->ReadUpTo(Pointer(address), dest, count);
  return SafeReadUpTo(Pointer(address), dest, count, snapshot_);
}

bool TLiveMemoryView::QueryRegion(Address address, TRegionInfo& info) const {
  if (session_) {
    const TMemoryRegion* region = session_->Region(address);
    if (!region || region->Free) return false;
    info.Committed = region->Committed;
    info.AllocationBase = static_cast<Address>(region->AllocationBase);
    info.RegionBase = static_cast<Address>(region->Base);
    info.RegionSize = static_cast<std::uint32_t>(region->Limit - region->Base);
    return true;
  }
  if (!snapshot_) return QuerySystem(address, info);
  auto it = regions_.upper_bound(address);
  if (it != regions_.begin()) {
    const TRegionInfo& known = std::prev(it)->second;
    if (address - known.RegionBase < known.RegionSize) {
      info = known;
      return true;
    }
  }
  if (!QuerySystem(address, info)) return false;
  if (info.RegionSize) regions_[info.RegionBase] = info;
  return true;
}

bool TLiveMemoryView::QuerySystem(Address address, TRegionInfo& info) const {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(Pointer(address), &mbi, sizeof mbi) != sizeof mbi || mbi.State == MEM_FREE)
    return false;
  info.Committed = mbi.State == MEM_COMMIT;
  info.AllocationBase = static_cast<Address>(reinterpret_cast<std::uintptr_t>(mbi.AllocationBase));
  info.RegionBase = static_cast<Address>(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress));
  info.RegionSize = static_cast<std::uint32_t>(mbi.RegionSize);
  return true;
}

std::string TLiveMemoryView::ExportNameAt(Address address) const {
  TRegionInfo region;
  if (!QueryRegion(address, region) || !region.AllocationBase) return {};
  auto found = exports_.find(region.AllocationBase);
  if (found == exports_.end()) {
    TImageHeaders headers;
    std::vector<std::pair<Address, std::string>> list;
    if (ReadImageHeaders(*this, region.AllocationBase, headers))
      list = ImageExports(*this, headers);
    found = exports_.emplace(region.AllocationBase, std::move(list)).first;
  }
  const auto& list = found->second;
  auto it = std::lower_bound(list.begin(), list.end(), std::make_pair(address, std::string()));
  return it != list.end() && it->first == address ? it->second : std::string();
}

std::string ModuleFileNameAt(Address address) {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(Pointer(address), &mbi, sizeof mbi) != sizeof mbi || !mbi.AllocationBase)
    return {};
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  std::string name(path, n);
  const auto slash = name.find_last_of("\\/");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace corvan::crash
