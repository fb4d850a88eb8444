#pragma once
// Builds TD32 data for tests the way the Borland linker lays it out:
// subsections, then one subsection directory.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "crash/analysis/Td32.h"
#include "crash/util/ByteOrder.h"

namespace corvan::crash::test {

inline void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) { AppendLe16(out, v); }
inline void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) { AppendLe32(out, v); }

// TD32 data: subsections, then one directory (or a chain of them).
class TTd32Builder {
 public:
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> subsections;

  void Names(const std::vector<std::string>& names) {
    std::vector<std::uint8_t> s;
    Put32(s, static_cast<std::uint32_t>(names.size()));
    for (const std::string& n : names) {
      s.push_back(static_cast<std::uint8_t>(n.size()));
      s.insert(s.end(), n.begin(), n.end());
      s.push_back(0);
    }
    subsections.push_back({kTd32Names, s});
  }

  struct TSeg {
    std::uint16_t flags;
    std::uint32_t offset, length;
  };
  void Module(std::uint32_t nameIndex, const std::vector<TSeg>& segments) {
    std::vector<std::uint8_t> s;
    Put16(s, 0);
    Put16(s, 0);
    Put16(s, static_cast<std::uint16_t>(segments.size()));
    Put16(s, 0);
    Put32(s, nameIndex);
    for (int i = 0; i < 4; ++i) Put32(s, 0);  // time stamp, reserved
    for (const TSeg& seg : segments) {
      Put16(s, seg.flags & 1 ? 1 : 2);
      Put16(s, seg.flags);
      Put32(s, seg.offset);
      Put32(s, seg.length);
    }
    subsections.push_back({kTd32Module, s});
  }

  // One source file with one block of (offset, line) pairs covering
  // [start, end].
  void Lines(std::uint32_t nameIndex,
             const std::vector<std::pair<std::uint32_t, std::uint16_t>>& pairs, std::uint32_t start,
             std::uint32_t end) {
    std::vector<std::uint8_t> s;
    Put16(s, 1);  // files
    Put16(s, 0);  // module ranges: none
    Put32(s, 8);  // the file entry follows
    Put16(s, 1);  // blocks
    Put32(s, nameIndex);
    Put32(s, 8 + 6 + 4 + 8);  // the block follows the entry
    Put32(s, start);
    Put32(s, end);
    Put16(s, 1);
    Put16(s, static_cast<std::uint16_t>(pairs.size()));
    for (const auto& p : pairs) Put32(s, p.first);
    for (const auto& p : pairs) Put16(s, p.second);
    subsections.push_back({kTd32SourceModule, s});
  }

  struct TSym {
    std::uint16_t type;
    std::uint32_t offset, nameIndex;
  };
  void Symbols(std::uint16_t subsection, const std::vector<TSym>& symbols) {
    std::vector<std::uint8_t> s(subsection == kTd32GlobalPublics ? 32 : 4, 0);
    for (const TSym& sym : symbols) {
      std::vector<std::uint8_t> r(46, 0);
      PutLe16(r.data(), 44);
      PutLe16(r.data() + 2, sym.type);
      if (sym.type == 0x204 || sym.type == 0x205) {
        PutLe32(r.data() + 28, sym.offset);
        PutLe32(r.data() + 40, sym.nameIndex);
      } else if (sym.type == 0x201 || sym.type == 0x202) {
        PutLe32(r.data() + 4, sym.offset);
        PutLe32(r.data() + 16, sym.nameIndex);
      } else {
        PutLe32(r.data() + 20, sym.offset);
        PutLe32(r.data() + 12, sym.nameIndex);
      }
      s.insert(s.end(), r.begin(), r.end());
    }
    subsections.push_back({subsection, s});
  }

  // The data; nextOfLast names the chain's continuation of the (only)
  // directory: 0 ends it.
  std::vector<std::uint8_t> Build(std::uint32_t nextOfLast = 0,
                                  std::size_t* dirAt = nullptr) const {
    std::vector<std::uint8_t> out = {'F', 'B', '0', '9', 0, 0, 0, 0};
    std::vector<std::uint32_t> offsets;
    for (const auto& sub : subsections) {
      offsets.push_back(static_cast<std::uint32_t>(out.size()));
      out.insert(out.end(), sub.second.begin(), sub.second.end());
      while (out.size() % 4) out.push_back(0);
    }
    const auto dir = static_cast<std::uint32_t>(out.size());
    PutLe32(out.data() + 4, dir);
    if (dirAt) *dirAt = dir;
    Put16(out, 16);
    Put16(out, 12);
    Put32(out, static_cast<std::uint32_t>(subsections.size()));
    Put32(out, nextOfLast);
    Put32(out, 0);
    for (std::size_t i = 0; i < subsections.size(); ++i) {
      Put16(out, subsections[i].first);
      Put16(out, 1);
      Put32(out, offsets[i]);
      Put32(out, static_cast<std::uint32_t>(subsections[i].second.size()));
    }
    return out;
  }
};

}  // namespace corvan::crash::test
