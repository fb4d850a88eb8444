#include "crash/analysis/x86/TryReadMap.h"

#include <algorithm>

namespace corvan::crash {

void TDATryRead::Append(std::uintptr_t start, std::uintptr_t limit, bool readable) {
  if (limit <= start) return;
  if (!ranges_.empty() && ranges_.back().Limit < start) {
    Append(ranges_.back().Limit, start, false);  // a gap is unreadable
  }
  if (!ranges_.empty() && ranges_.back().Readable == readable && ranges_.back().Limit == start) {
    ranges_.back().Limit = limit;
    return;
  }
  if (ranges_.size() == ranges_.capacity()) {
    ranges_.reserve(ranges_.empty() ? 64 : ranges_.size() + ranges_.size() / 2);
  }
  ranges_.push_back({start, limit, readable});
}

std::size_t TDATryRead::ReadableFrom(std::uintptr_t address, std::size_t count) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), address,
                             [](std::uintptr_t a, const Range& r) { return a < r.Start; });
  if (it == ranges_.begin()) return 0;
  --it;
  if (!it->Readable || address >= it->Limit) return 0;
  // Consecutive ranges differ in verdict, so the readable run ends here.
  return static_cast<std::size_t>(std::min<std::uintptr_t>(it->Limit - address, count));
}

bool TDATryRead::IsReadable(std::uintptr_t address, std::size_t count) const {
  if (count == 0) return ReadableFrom(address, 1) == 1;
  if (address + count < address) return false;
  return ReadableFrom(address, count) == count;
}

}  // namespace corvan::crash
