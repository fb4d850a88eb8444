#include "crash/analysis/JdbgFile.h"

#include <cstring>
#include <string>
#include <vector>

#include "crash/analysis/MapTables.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::size_t kMaxNameLength = 254;
constexpr int kMaxGroups = 5;  // 32 bits in 7-bit groups

std::uint32_t RotateRight8(std::uint32_t v) { return v >> 8 | v << 24; }

char PackedChar(unsigned v) {
  if (v <= 10) return static_cast<char>('0' + v - 1);
  if (v <= 36) return static_cast<char>('A' + v - 11);
  if (v <= 62) return static_cast<char>('a' + v - 37);
  return '_';
}

class TJdbgReader {
 public:
  explicit TJdbgReader(std::span<const std::uint8_t> data) : data_(data) {}

  bool Header() {
    if (data_.size() < kJdbgHeaderSize + 1 || data_.size() % 4 != 0 ||
        std::memcmp(data_.data(), "JDBG", 4) != 0 || data_[4] != 1) {
      return false;
    }
    units_ = ReadLe32(data_.data() + 5);
    symbols_ = ReadLe32(data_.data() + 13);
    lines_ = ReadLe32(data_.data() + 17);
    words_ = ReadLe32(data_.data() + 21);
    if (data_[33] != 0) {
      const std::uint32_t stored = ReadLe32(data_.data() + 29);
      std::uint32_t sum = 0;
      for (std::size_t at = 0; at < data_.size(); at += 4) sum += ReadLe32(data_.data() + at);
      if (RotateRight8(sum - stored) != stored) return false;
    }
    for (std::uint32_t offset : {units_, symbols_, lines_, words_}) {
      if (offset < kJdbgHeaderSize || offset >= data_.size()) return false;
    }
    return true;
  }

  // Reads one table of records of n values each into out (accumulated).
  // False for a damaged table: a varint running past the data or longer
  // than 5 groups, or no end mark.
  bool Table(std::uint32_t offset, std::size_t n, std::vector<std::vector<std::int32_t>>& out) {
    std::size_t at = offset;
    std::vector<std::int32_t> values(n, 0);
    for (;;) {
      for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t delta = 0;
        if (!Varint(at, delta)) return false;
        if (k == 0 && static_cast<std::int32_t>(delta) == kJdbgTableEnd) return true;
        values[k] = static_cast<std::int32_t>(static_cast<std::uint32_t>(values[k]) + delta);
      }
      out.push_back(values);
    }
  }

  // The name at offset in the name area; empty when it lies outside the
  // data or is malformed.
  std::string Name(std::int32_t offset) const {
    const std::uint64_t start = std::uint64_t{words_} + static_cast<std::uint32_t>(offset);
    if (offset < 0 || start >= data_.size()) return {};
    std::size_t at = static_cast<std::size_t>(start);
    std::string name;
    if (data_[at] == 1) {
      for (++at; at < data_.size() && data_[at] != 0 && name.size() < kMaxNameLength; ++at) {
        const std::uint8_t b = data_[at];
        name += static_cast<char>(b == 0xAA ? b : b ^ 0xAA);
      }
      return name;
    }
    if (data_[at] == 2) {
      name = "@";
      ++at;
    }
    // Four 6-bit values in three bytes, low bits first.
    std::uint32_t bits = 0;
    int have = 0;
    while (name.size() < kMaxNameLength) {
      if (have < 6) {
        if (at >= data_.size()) break;
        bits |= std::uint32_t{data_[at++]} << have;
        have += 8;
      }
      const unsigned v = bits & 63;
      bits >>= 6;
      have -= 6;
      if (v == 0) break;
      name += PackedChar(v);
    }
    return name;
  }

  std::uint32_t Units() const { return units_; }
  std::uint32_t Symbols() const { return symbols_; }
  std::uint32_t Lines() const { return lines_; }

 private:
  bool Varint(std::size_t& at, std::uint32_t& value) const {
    value = 0;
    for (int group = 0; group < kMaxGroups; ++group) {
      if (at >= data_.size()) return false;
      const std::uint8_t b = data_[at++];
      if (group == kMaxGroups - 1 && (b & 0xF0) != 0) return false;  // beyond 32 bits
      value |= std::uint32_t{b & 0x7Fu} << (7 * group);
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  std::span<const std::uint8_t> data_;
  std::uint32_t units_ = 0, symbols_ = 0, lines_ = 0, words_ = 0;
};

}  // namespace

bool ReadJdbg(std::span<const std::uint8_t> data, TMapFile& map) {
  TJdbgReader reader(data);
  if (!reader.Header()) return false;
  std::vector<std::vector<std::int32_t>> units, symbols, lines;
  if (!reader.Table(reader.Units(), 2, units) || !reader.Table(reader.Symbols(), 3, symbols) ||
      !reader.Table(reader.Lines(), 2, lines)) {
    return false;
  }
  TMapFile result = map;
  const Address base = map.CodeStart;
  for (std::size_t i = 0; i < units.size(); ++i) {
    TMfSegment seg;
    seg.IsCode = true;
    seg.SegStart = base + static_cast<Address>(units[i][0]);
    const Address end = i + 1 < units.size() ? base + static_cast<Address>(units[i + 1][0])
                                             : std::max(map.CodeEnd, seg.SegStart);
    seg.SegLength = end > seg.SegStart ? end - seg.SegStart : 0;
    seg.UnitName = UnitWithoutExtension(FileNamePart(reader.Name(units[i][1])));
    result.Segments.push_back(std::move(seg));
  }
  MergeSegments(result, false);
  // The merge leaves the last segment where it was: it reaches CodeEnd.
  if (!result.Segments.empty() && result.CodeEnd > result.Segments.back().SegStart)
    result.Segments.back().SegLength = result.CodeEnd - result.Segments.back().SegStart;
  for (const std::vector<std::int32_t>& s : symbols) {
    const Address address = base + static_cast<Address>(s[0]);
    std::string name = reader.Name(s[1]);
    if (s[2] != 0) name += "." + reader.Name(s[2]);
    if (const TMfSegment* seg = SegmentAt(result, true, address)) {
      const std::string& unit = seg->UnitName;
      if (!unit.empty() && name.size() > unit.size() + 1 &&
          EqualsIgnoreCase(std::string_view(name).substr(0, unit.size()), unit)) {
        name.erase(0, unit.size() + 1);
      }
    }
    AddPublic(result, std::move(name), address, true);
  }
  for (const std::vector<std::int32_t>& l : lines)
    result.Lines.push_back({l[1], base + static_cast<Address>(l[0])});
  FinishMap(result);
  if (!result.Loaded) return false;
  map = std::move(result);
  return true;
}

}  // namespace corvan::crash
