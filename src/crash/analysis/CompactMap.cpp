#include "crash/analysis/CompactMap.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "crash/analysis/MapTables.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/Deflate.h"

namespace corvan::crash {
namespace {

constexpr std::size_t kTagSize = 14;
constexpr std::size_t kHeaderV2 = 22;
constexpr std::size_t kHeaderV3 = 34;
constexpr std::int8_t kPackedEscape = -128;  // a full int32 follows

// Bounds-checked reader of the expanded stream: any read past the end marks
// the stream bad and yields zeros, so the parse below checks once per item.
class TMiniStream {
 public:
  explicit TMiniStream(std::span<const std::uint8_t> data) : data_(data) {}

  bool Ok() const { return ok_; }
  std::size_t Remaining() const { return data_.size() - pos_; }

  std::int32_t Int32() {
    if (!Need(4)) return 0;
    const std::uint32_t v = ReadLe32(data_.data() + pos_);
    pos_ += 4;
    return static_cast<std::int32_t>(v);
  }
  std::uint8_t Byte() {
    if (!Need(1)) return 0;
    return data_[pos_++];
  }
  std::int32_t Packed() {
    const auto b = static_cast<std::int8_t>(Byte());
    return b == kPackedEscape ? Int32() : b;
  }
  std::string String() {
    const std::size_t n = Byte();
    if (!Need(n)) return {};
    std::string s(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return s;
  }
  // A count of items each at least minSize bytes long that the remaining
  // bytes could hold; anything larger is damage.
  bool Count(std::int32_t count, std::size_t minSize) {
    if (count < 0 || (minSize && static_cast<std::size_t>(count) > Remaining() / minSize))
      ok_ = false;
    return ok_;
  }

 private:
  bool Need(std::size_t n) {
    if (!ok_ || n > Remaining()) ok_ = false;
    return ok_;
  }
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

void PutPacked(std::vector<std::uint8_t>& out, std::int64_t value) {
  if (value > std::numeric_limits<std::int8_t>::min() &&
      value <= std::numeric_limits<std::int8_t>::max()) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(value)));
  } else {
    out.push_back(static_cast<std::uint8_t>(kPackedEscape));
    AppendLe32(out, static_cast<std::uint32_t>(value));
  }
}

void PutString(std::vector<std::uint8_t>& out, const std::string& text) {
  const std::size_t n = std::min<std::size_t>(text.size(), 255);
  out.push_back(static_cast<std::uint8_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string Hex8Dollar(std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "$%08x", value);
  return text;
}

}  // namespace

bool ReadCompactMapHeader(std::span<const std::uint8_t> data, TCompactMapHeader& header) {
  if (data.size() < kHeaderV2 + 1 || std::memcmp(data.data(), kCompactMapTag, kTagSize) != 0)
    return false;
  header = {};
  header.PayloadLength = ReadLe32(data.data() + 14);
  header.Version = ReadLe32(data.data() + 18);
  if (header.Version == 3) {
    if (data.size() < kHeaderV3) return false;
    header.IdA = ReadLe32(data.data() + 22);
    header.IdB = ReadLe32(data.data() + 26);
    header.Flags = ReadLe32(data.data() + 30);
    header.PayloadOffset = kHeaderV3;
  } else if (header.Version == 2) {
    header.PayloadOffset = kHeaderV2;
  } else {
    return false;
  }
  return header.PayloadLength <= data.size() - header.PayloadOffset;
}

std::string CompactMapIdentification(std::span<const std::uint8_t> data) {
  TCompactMapHeader header;
  if (!ReadCompactMapHeader(data, header)) return {};
  return Hex8Dollar(static_cast<std::uint32_t>(data.size())) + ", " + Hex8Dollar(header.IdA) +
         ", " + Hex8Dollar(header.IdB);
}

bool ReadCompactMap(std::span<const std::uint8_t> data, TMapFile& map) {
  TCompactMapHeader header;
  if (!ReadCompactMapHeader(data, header)) return false;
  const std::vector<std::uint8_t> expanded =
      ExpandBlock(data.subspan(header.PayloadOffset, header.PayloadLength));
  if (expanded.empty()) return false;
  const bool minimal = (header.Flags & kCompactMapFlagMinimal) != 0;
  const Address base = map.CodeStart;

  TMapFile result = map;
  TMiniStream in(expanded);
  const std::int32_t segments = in.Int32();
  if (!in.Count(segments, 9)) return false;
  for (std::int32_t i = 0; i < segments && in.Ok(); ++i) {
    TMfSegment seg;
    seg.IsCode = true;
    seg.SegStart = base + static_cast<Address>(in.Int32());
    seg.SegLength = static_cast<std::uint32_t>(in.Int32());
    if (minimal) {
      seg.HasLines = in.Byte() != 0;
      seg.UnitName = "segment%" + std::to_string(i);
    } else {
      seg.UnitName = in.String();
    }
    result.Segments.push_back(std::move(seg));
  }
  SortSegments(result);

  const std::int32_t publics = in.Int32();
  if (!in.Ok() || !in.Count(publics, minimal ? 1 : 2)) return false;
  Address address = base;
  for (std::int32_t i = 0; i < publics && in.Ok(); ++i) {
    std::string name = minimal ? "public%" + std::to_string(i) : in.String();
    address = i == 0 ? base + static_cast<Address>(in.Int32())
                     : address + static_cast<Address>(in.Packed());
    if (in.Ok()) AddPublic(result, std::move(name), address, true);
  }

  const std::int32_t lines = in.Int32();
  if (!in.Ok() || !in.Count(lines, 2)) return false;
  if (lines > 0) {
    result.Lines.reserve(result.Lines.size() + static_cast<std::size_t>(lines));
    std::int32_t line = in.Int32();
    address = base + static_cast<Address>(in.Int32());
    result.Lines.push_back({line, address});
    for (std::int32_t i = 1; i < lines && in.Ok(); ++i) {
      line += in.Packed();
      address += static_cast<Address>(in.Packed());
      result.Lines.push_back({line, address});
    }
  }
  if (!in.Ok()) return false;
  if (in.Remaining() == 4) result.ProgramEntry = base + static_cast<Address>(in.Int32());
  result.Loaded = true;
  map = std::move(result);
  return true;
}

std::vector<std::uint8_t> WriteCompactMap(const TMapFile& map, bool minimal, std::uint32_t idA,
                                          std::uint32_t idB) {
  const Address base = map.CodeStart;
  std::vector<std::uint8_t> stream;
  std::vector<const TMfSegment*> code;
  for (const TMfSegment& seg : map.Segments) {
    if (seg.IsCode) code.push_back(&seg);
  }
  AppendLe32(stream, static_cast<std::uint32_t>(code.size()));
  for (const TMfSegment* seg : code) {
    AppendLe32(stream, seg->SegStart - base);
    AppendLe32(stream, seg->SegLength);
    if (minimal) {
      stream.push_back(seg->HasLines ? 1 : 0);
    } else {
      PutString(stream, seg->UnitName);
    }
  }
  std::vector<const TMfPublic*> publics;
  for (const TMfPublic& pub : map.Publics) {
    if (pub.IsCode) publics.push_back(&pub);
  }
  AppendLe32(stream, static_cast<std::uint32_t>(publics.size()));
  Address previous = 0;
  for (std::size_t i = 0; i < publics.size(); ++i) {
    if (!minimal) PutString(stream, publics[i]->SymbolName);
    const Address address = publics[i]->SymbolAddress;
    if (i == 0) {
      AppendLe32(stream, address - base);
    } else {
      PutPacked(stream, static_cast<std::int32_t>(address - previous));
    }
    previous = address;
  }
  const std::vector<TMfLine>& lines = map.Lines;
  AppendLe32(stream, minimal ? 0 : static_cast<std::uint32_t>(lines.size()));
  if (!minimal && !lines.empty()) {
    AppendLe32(stream, static_cast<std::uint32_t>(lines[0].LineNo));
    AppendLe32(stream, lines[0].LineAddress - base);
    for (std::size_t i = 1; i < lines.size(); ++i) {
      PutPacked(stream, static_cast<std::int64_t>(lines[i].LineNo) - lines[i - 1].LineNo);
      PutPacked(stream, static_cast<std::int32_t>(lines[i].LineAddress - lines[i - 1].LineAddress));
    }
  }
  if (map.ProgramEntry) AppendLe32(stream, map.ProgramEntry - base);

  const std::vector<std::uint8_t> payload = CompressBlock(stream);
  if (payload.empty()) return {};
  std::vector<std::uint8_t> out(kTagSize);
  std::memcpy(out.data(), kCompactMapTag, kTagSize);
  AppendLe32(out, static_cast<std::uint32_t>(payload.size()));
  AppendLe32(out, 3);
  AppendLe32(out, idA);
  AppendLe32(out, idB);
  AppendLe32(out, minimal ? kCompactMapFlagMinimal : 0);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace corvan::crash
