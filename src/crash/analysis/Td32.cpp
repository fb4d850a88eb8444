#include "crash/analysis/Td32.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "crash/analysis/MapTables.h"
#include "crash/analysis/PeImage.h"
#include "crash/analysis/Unmangle.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::uint16_t kCodeFlag = 1;
constexpr std::uint32_t kDebugDirectory = 6;
constexpr std::size_t kDebugEntrySize = 28;

// Reads inside one span; a field that does not fit fails.
class TSpanReader {
 public:
  explicit TSpanReader(std::span<const std::uint8_t> data) : data_(data) {}
  std::size_t Size() const { return data_.size(); }
  bool Fits(std::size_t at, std::size_t n) const {
    return at <= data_.size() && n <= data_.size() - at;
  }
  bool U16(std::size_t at, std::uint16_t& v) const {
    if (!Fits(at, 2)) return false;
    v = static_cast<std::uint16_t>(data_[at] | data_[at + 1] << 8);
    return true;
  }
  bool U32(std::size_t at, std::uint32_t& v) const {
    if (!Fits(at, 4)) return false;
    v = ReadLe32(data_.data() + at);
    return true;
  }
  std::span<const std::uint8_t> Sub(std::size_t at, std::size_t n) const {
    return Fits(at, n) ? data_.subspan(at, n) : std::span<const std::uint8_t>{};
  }
  const std::uint8_t* At(std::size_t at) const { return data_.data() + at; }

 private:
  std::span<const std::uint8_t> data_;
};

struct TSubsection {
  std::uint16_t Type = 0;
  std::span<const std::uint8_t> Data;
};

// The entries of every directory in the chain, in chain order.
std::vector<TSubsection> Subsections(const TSpanReader& data) {
  std::vector<TSubsection> result;
  std::set<std::uint32_t> seen;
  std::uint32_t dir = 0;
  if (!data.U32(4, dir)) return result;
  while (dir != 0 && seen.insert(dir).second) {
    std::uint16_t headerSize = 0, entrySize = 0;
    std::uint32_t count = 0, next = 0;
    if (!data.U16(dir, headerSize) || !data.U16(dir + 2, entrySize) || !data.U32(dir + 4, count) ||
        !data.U32(dir + 8, next) || entrySize < 12 || headerSize < 16) {
      break;
    }
    const std::size_t first = std::size_t{dir} + headerSize;
    if (!data.Fits(first, std::size_t{count} * entrySize)) break;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t at = first + std::size_t{i} * entrySize;
      std::uint16_t type = 0;
      std::uint32_t offset = 0, size = 0;
      data.U16(at, type);
      data.U32(at + 4, offset);
      data.U32(at + 8, size);
      const std::span<const std::uint8_t> sub = data.Sub(offset, size);
      if (sub.size() == size && size > 0) result.push_back({type, sub});
    }
    dir = next;
  }
  return result;
}

class TTd32Reader {
 public:
  explicit TTd32Reader(TMapFile& map) : map_(map) {}

  void Names(const TSpanReader& sub) {
    std::uint32_t count = 0;
    if (!sub.U32(0, count)) return;
    std::size_t at = 4;
    for (std::uint32_t i = 0; i < count && sub.Fits(at, 1); ++i) {
      const std::size_t length = *sub.At(at);
      if (!sub.Fits(at + 1, length + 1)) break;
      names_.emplace_back(reinterpret_cast<const char*>(sub.At(at + 1)), length);
      at += 1 + length + 1;  // the name and its zero byte
    }
  }

  void Module(const TSpanReader& sub) {
    std::uint16_t count = 0;
    std::uint32_t nameIndex = 0;
    if (!sub.U16(4, count) || !sub.U32(8, nameIndex)) return;
    const std::string unit = UnitWithoutExtension(FileNamePart(Name(nameIndex)));
    bool dataKept = false;
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::size_t at = 28 + std::size_t{i} * 12;
      std::uint16_t flags = 0;
      std::uint32_t offset = 0, length = 0;
      if (!sub.U16(at + 2, flags) || !sub.U32(at + 4, offset) || !sub.U32(at + 8, length)) break;
      const bool code = (flags & kCodeFlag) != 0;
      if (!code && dataKept) continue;  // the unit's first data segment only
      dataKept = dataKept || !code;
      AddSegment(code, offset, length, unit);
    }
  }

  // Per source file: its line blocks and its code range.
  void SourceModule(const TSpanReader& sub) {
    std::uint16_t files = 0;
    if (!sub.U16(0, files)) return;
    for (std::uint16_t f = 0; f < files; ++f) {
      std::uint32_t fileAt = 0;
      std::uint16_t blocks = 0;
      std::uint32_t nameIndex = 0;
      if (!sub.U32(4 + std::size_t{f} * 4, fileAt) || !sub.U16(fileAt, blocks) ||
          !sub.U32(fileAt + 2, nameIndex)) {
        continue;
      }
      const std::string file = UnitWithoutExtension(FileNamePart(Name(nameIndex)));
      const std::size_t rangesAt = std::size_t{fileAt} + 6 + std::size_t{blocks} * 4;
      for (std::uint16_t b = 0; b < blocks; ++b) {
        std::uint32_t blockAt = 0, start = 0, end = 0;
        if (!sub.U32(std::size_t{fileAt} + 6 + std::size_t{b} * 4, blockAt)) break;
        LineBlock(sub, blockAt);
        if (sub.U32(rangesAt + std::size_t{b} * 8, start) &&
            sub.U32(rangesAt + std::size_t{b} * 8 + 4, end) && end >= start) {
          AddSegment(true, start, end - start + 1, file);
        }
      }
    }
  }

  // Symbol records from offset first on: u16 length (of what follows),
  // u16 type, fields at fixed offsets from the record's start.
  void Symbols(const TSpanReader& sub, std::size_t first) {
    for (std::size_t at = first; sub.Fits(at, 4);) {
      std::uint16_t length = 0, type = 0;
      sub.U16(at, length);
      sub.U16(at + 2, type);
      if (length < 2 || !sub.Fits(at, std::size_t{length} + 2)) break;
      const TSpanReader record(sub.Sub(at, std::size_t{length} + 2));
      std::uint32_t offset = 0, nameIndex = 0;
      bool code = false, known = true;
      if ((type == 0x204 || type == 0x205) && length >= 44) {
        record.U32(28, offset);
        known = record.U32(40, nameIndex);
        code = true;
      } else if ((type == 0x201 || type == 0x202) && length >= 20) {
        record.U32(4, offset);
        known = record.U32(16, nameIndex);
      } else if ((type == 0x20 && length > 25) || (type == 0x21 && length > 23)) {
        record.U32(20, offset);
        known = record.U32(12, nameIndex);
        code = type == 0x20;
      } else {
        known = false;
      }
      if (known) Public(Name(nameIndex), code, offset);
      at += std::size_t{length} + 2;
    }
  }

 private:
  std::string Name(std::uint32_t index) const {
    return index >= 1 && index <= names_.size() ? names_[index - 1] : std::string();
  }

  Address Absolute(bool code, std::uint32_t offset) const {
    return (code ? map_.CodeStart : map_.DataStart) + offset;
  }

  void AddSegment(bool code, std::uint32_t offset, std::uint32_t length, const std::string& unit) {
    TMfSegment seg;
    seg.IsCode = code;
    seg.SegStart = Absolute(code, offset);
    seg.SegLength = length;
    seg.UnitName = unit;
    map_.Segments.push_back(std::move(seg));
  }

  void LineBlock(const TSpanReader& sub, std::uint32_t at) {
    std::uint16_t pairs = 0;
    if (!sub.U16(std::size_t{at} + 2, pairs)) return;
    const std::size_t offsets = std::size_t{at} + 4;
    const std::size_t lines = offsets + std::size_t{pairs} * 4;
    if (!sub.Fits(offsets, std::size_t{pairs} * 6)) return;
    for (std::uint16_t i = 0; i < pairs; ++i) {
      std::uint32_t offset = 0;
      std::uint16_t line = 0;
      sub.U32(offsets + std::size_t{i} * 4, offset);
      sub.U16(lines + std::size_t{i} * 2, line);
      map_.Lines.push_back({line, Absolute(true, offset)});
    }
  }

  // A public outside every segment of its kind stretches the segment below
  // it when that is of its unit, else opens a segment of its unit.
  void Public(const std::string& name, bool code, std::uint32_t offset) {
    if (name.empty()) return;
    const Address address = Absolute(code, offset);
    if (!SegmentAt(map_, code, address)) {
      std::string unqualified = name, unit;
      UnmangleName(unqualified, unit);
      TMfSegment* below = nullptr;
      for (TMfSegment& seg : map_.Segments) {
        if (seg.IsCode == code && seg.SegStart <= address &&
            (!below || seg.SegStart >= below->SegStart)) {
          below = &seg;
        }
      }
      if (below && (unit.empty() || EqualsIgnoreCase(unit, below->UnitName))) {
        below->SegLength = address - below->SegStart + 1;
      } else if (!unit.empty()) {
        map_.Segments.push_back({code, address, 1, unit, false});
        SortSegments(map_);
      }
    }
    AddPublic(map_, name, address, code);
  }

  TMapFile& map_;
  std::vector<std::string> names_;
};

}  // namespace

bool IsTd32(std::span<const std::uint8_t> data) {
  return data.size() >= 8 &&
         (std::memcmp(data.data(), "FB09", 4) == 0 || std::memcmp(data.data(), "FB0A", 4) == 0);
}

std::span<const std::uint8_t> Td32DataInImage(std::span<const std::uint8_t> file) {
  const BufferImageBytes bytes(file);
  const PeImage image(bytes, ImageLayout::File);
  if (!image.Valid()) return {};
  const std::optional<PeDirectory> dir = image.Directory(kDebugDirectory);
  if (!dir || dir->size < kDebugEntrySize) return {};
  const std::optional<std::uint64_t> at = image.RvaToOffset(dir->rva);
  if (!at) return {};
  const TSpanReader reader(file);
  for (std::size_t i = 0; i < dir->size / kDebugEntrySize; ++i) {
    const std::size_t entry = static_cast<std::size_t>(*at) + i * kDebugEntrySize;
    std::uint32_t size = 0, raw = 0;
    if (!reader.U32(entry + 16, size) || !reader.U32(entry + 24, raw)) break;
    const std::span<const std::uint8_t> data = reader.Sub(raw, size);
    if (IsTd32(data)) return data;
  }
  return {};
}

bool ReadTd32(std::span<const std::uint8_t> data, TMapFile& map) {
  if (!IsTd32(data)) return false;
  const std::vector<TSubsection> subsections = Subsections(TSpanReader(data));
  TMapFile result = map;
  TTd32Reader reader(result);
  auto each = [&](std::uint16_t type, auto&& read) {
    bool any = false;
    for (const TSubsection& s : subsections) {
      if (s.Type != type) continue;
      read(TSpanReader(s.Data));
      any = true;
    }
    return any;
  };
  each(kTd32Names, [&](const TSpanReader& s) { reader.Names(s); });
  each(kTd32Module, [&](const TSpanReader& s) { reader.Module(s); });
  each(kTd32SourceModule, [&](const TSpanReader& s) { reader.SourceModule(s); });
  MergeSegments(result, true);
  if (!each(kTd32GlobalPublics, [&](const TSpanReader& s) { reader.Symbols(s, 32); })) {
    each(kTd32GlobalSymbols, [&](const TSpanReader& s) { reader.Symbols(s, 4); });
  }
  MergeSegments(result, false);
  FinishMap(result);
  if (!result.Loaded) return false;
  map = std::move(result);
  return true;
}

}  // namespace corvan::crash
