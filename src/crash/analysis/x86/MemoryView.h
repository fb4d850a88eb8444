#pragma once
// The memory the x86 code parser reads: the live process on Windows, an
// image file or a test buffer elsewhere. Addresses are 32-bit because the
// code being read is 32-bit x86, whatever the host is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace corvan::crash {

using Address = std::uint32_t;

// What the parser needs to know about the memory around an address.
struct TRegionInfo {
  bool Committed = false;      // backed by memory (not free, not reserved)
  Address AllocationBase = 0;  // start of the allocation (a module's base)
  Address RegionBase = 0;      // start of the region of equal attributes
  std::uint32_t RegionSize = 0;
};

class TMemoryView {
 public:
  virtual ~TMemoryView() = default;

  // Copies up to count bytes starting at address and returns how many were
  // copied: the readable prefix of the range. Never faults.
  virtual std::size_t ReadUpTo(Address address, void* dest, std::size_t count) const = 0;

  // Region facts of address; false when nothing is known (free memory).
  virtual bool QueryRegion(Address address, TRegionInfo& info) const = 0;

  // Name of the export that begins exactly at address, empty when none.
  virtual std::string ExportNameAt(Address) const { return {}; }

  bool Read(Address address, void* dest, std::size_t count) const {
    return ReadUpTo(address, dest, count) == count;
  }
  bool ReadDword(Address address, std::uint32_t& value) const {
    return Read(address, &value, sizeof value);
  }
};

// A view over byte blocks placed at chosen addresses: image files mapped
// for the tools, hand-made code for the tests. Everything outside the
// blocks is free memory. Blocks must not overlap.
class TBlockMemoryView : public TMemoryView {
 public:
  struct Block {
    Address Start = 0;
    std::vector<std::uint8_t> Bytes;
    Address AllocationBase = 0;  // the module base the block belongs to
  };

  // Adds a block and returns its index; allocationBase 0 means the block is
  // its own allocation.
  std::size_t Add(Address start, std::vector<std::uint8_t> bytes, Address allocationBase = 0) {
    Block block{start, std::move(bytes), allocationBase ? allocationBase : start};
    blocks_.push_back(std::move(block));
    return blocks_.size() - 1;
  }
  const std::vector<Block>& Blocks() const { return blocks_; }
  std::vector<Block>& Blocks() { return blocks_; }

  std::size_t ReadUpTo(Address address, void* dest, std::size_t count) const override {
    auto* out = static_cast<std::uint8_t*>(dest);
    std::size_t done = 0;
    while (done < count) {
      const Block* block = Find(address + static_cast<Address>(done));
      if (!block) break;
      const std::size_t offset = address + done - block->Start;
      const std::size_t n = std::min(count - done, block->Bytes.size() - offset);
      std::memcpy(out + done, block->Bytes.data() + offset, n);
      done += n;
      if (address + done < address) break;  // wrapped past 4 GiB
    }
    return done;
  }

  bool QueryRegion(Address address, TRegionInfo& info) const override {
    const Block* block = Find(address);
    if (!block) return false;
    info.Committed = true;
    info.AllocationBase = block->AllocationBase;
    info.RegionBase = block->Start;
    info.RegionSize = static_cast<std::uint32_t>(block->Bytes.size());
    return true;
  }

 private:
  const Block* Find(Address address) const {
    for (const Block& block : blocks_) {
      if (address >= block.Start && address - block.Start < block.Bytes.size()) return &block;
    }
    return nullptr;
  }

  std::vector<Block> blocks_;
};

}  // namespace corvan::crash
