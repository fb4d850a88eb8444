#pragma once
// The memory view over the running process: reads through SafeRead (with an
// optional readable-memory snapshot, or within a read session), regions by
// VirtualQuery, export names from the modules' export directories.
#include <map>
#include <mutex>
#include <vector>

#include "crash/analysis/SafeRead.h"
#include "crash/analysis/x86/CodeImage.h"
#include "crash/analysis/x86/MemoryView.h"
#include "crash/analysis/x86/TryReadMap.h"

namespace corvan::crash {

class TLiveMemoryView : public TMemoryView {
 public:
  // snapshot may be null (every read then checks with VirtualQuery); it
  // must outlive the view. A view with a snapshot is a view of one moment:
  // it also remembers the regions it queried (a trace asks about the same
  // few regions thousands of times, and each VirtualQuery is a system call).
  explicit TLiveMemoryView(const TDATryRead* snapshot = nullptr) : snapshot_(snapshot) {}
  // A view of one analysis: reads and regions through session (not owned;
  // it must outlive the view), whose region cache makes this a view of one
  // moment too.
  explicit TLiveMemoryView(TSafeReadSession& session) : session_(&session) {}

  std::size_t ReadUpTo(Address address, void* dest, std::size_t count) const override;
  bool QueryRegion(Address address, TRegionInfo& info) const override;
  std::string ExportNameAt(Address address) const override;

 private:
  bool QuerySystem(Address address, TRegionInfo& info) const;

  const TDATryRead* snapshot_ = nullptr;
  TSafeReadSession* session_ = nullptr;
  // Regions queried so far (with a snapshot only), by region base.
  mutable std::map<Address, TRegionInfo> regions_;
  // Exports per module base, read on first use.
  mutable std::map<Address, std::vector<std::pair<Address, std::string>>> exports_;
};

// The module that contains address: its file name without path, or empty.
std::string ModuleFileNameAt(Address address);

}  // namespace corvan::crash
