#pragma once
// TDATryRead: a snapshot of which address ranges were readable, so that
// every safety check of one analysis is a binary search instead of a
// system call. Portable: filled by the Windows layer, tested natively.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvan::crash {

class TDATryRead {
 public:
  struct Range {
    std::uintptr_t Start = 0;
    std::uintptr_t Limit = 0;  // exclusive
    bool Readable = false;
  };

  // Appends the next region in address order; adjacent regions with the
  // same verdict merge. Regions must come in ascending, gap-free order; a
  // gap counts as unreadable.
  void Append(std::uintptr_t start, std::uintptr_t limit, bool readable);

  // True when every byte of [address, address + count) lay in readable
  // ranges (count 0: true for any address inside a readable range).
  bool IsReadable(std::uintptr_t address, std::size_t count) const;

  // Length of the readable run that starts at address (0 when unreadable).
  std::size_t ReadableFrom(std::uintptr_t address, std::size_t count) const;

  const std::vector<Range>& Ranges() const { return ranges_; }
  bool Empty() const { return ranges_.empty(); }
  void Clear() { ranges_.clear(); }
  void Trim() { ranges_.shrink_to_fit(); }

 private:
  std::vector<Range> ranges_;
};

}  // namespace corvan::crash
