#include "crash/analysis/TextMap.h"

#include <cstdio>

#include "crash/analysis/MapTables.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

enum class Block { None, Sections, Segments, Publics, Lines };

constexpr std::uint32_t kPage = 4096;

// Column checks and numbers on a line whose leading spaces are gone;
// columns are 1-based as in the layout.
class TColumns {
 public:
  explicit TColumns(std::string_view line) : line_(line) {}
  bool At(std::size_t column, char c) const {
    return column <= line_.size() && line_[column - 1] == c;
  }
  bool At(std::size_t column, std::string_view text) const {
    return column - 1 + text.size() <= line_.size() &&
           line_.substr(column - 1, text.size()) == text;
  }
  // Exactly digits hexadecimal digits at column.
  bool Hex(std::size_t column, std::size_t digits, std::uint32_t& value) const {
    return Number(line_, column - 1, digits, 16, value);
  }
  bool Decimal(std::size_t column, std::size_t digits, std::uint32_t& value) const {
    return Number(line_, column - 1, digits, 10, value);
  }
  static bool Number(std::string_view text, std::size_t at, std::size_t digits, unsigned radix,
                     std::uint32_t& value) {
    if (at + digits > text.size() || digits == 0) return false;
    std::uint64_t v = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      const char c = text[i];
      unsigned d;
      if (c >= '0' && c <= '9') {
        d = static_cast<unsigned>(c - '0');
      } else if (radix == 16 && c >= 'a' && c <= 'f') {
        d = static_cast<unsigned>(c - 'a' + 10);
      } else if (radix == 16 && c >= 'A' && c <= 'F') {
        d = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      v = v * radix + d;
    }
    if (v > 0xFFFFFFFFu) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
  }

 private:
  std::string_view line_;
};

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

class TTextMapReader {
 public:
  explicit TTextMapReader(TMapFile& map) : map_(map) {}

  void Line(std::string_view raw) {
    std::size_t first = raw.find_first_not_of(' ');
    if (first == std::string_view::npos) return;  // empty lines only separate blocks
    std::string_view line = raw.substr(first);
    if (Header(line)) return;
    switch (block_) {
      case Block::Sections:
        Section(line);
        break;
      case Block::Segments:
        Segment(line);
        break;
      case Block::Publics:
        Public(line);
        break;
      case Block::Lines:
        Lines(line);
        break;
      case Block::None:
        break;
    }
  }

  bool Found() const { return found_; }

 private:
  bool Header(std::string_view line) {
    Block next = block_;
    if (line.starts_with("Start") && line.find("Length") != line.npos &&
        line.find("Class") != line.npos) {
      next = Block::Sections;
    } else if (line.starts_with("Detailed map of segments")) {
      next = Block::Segments;
    } else if (line.find("Publics by Value") != line.npos) {
      next = Block::Publics;
    } else if (line.find("Publics by Name") != line.npos) {
      next = Block::None;
    } else if (line.starts_with("Line numbers for ")) {
      next = Block::Lines;
      firstLineOfBlock_ = true;
      haveLast_ = false;
    } else if (line.starts_with("Program entry point at ")) {
      std::uint32_t offset;
      const TColumns c(line);
      if (line.size() >= 35 && c.At(28, ':') && c.Hex(29, 8, offset)) {
        map_.ProgramEntry = map_.CodeStart + offset;
      }
      next = Block::None;
    } else {
      return false;
    }
    if (block_ == Block::Segments && next != Block::Segments) SortSegments(map_);
    block_ = next;
    return true;
  }

  void Section(std::string_view line) {
    const TColumns c(line);
    std::uint32_t value;
    if (line.find(".text") != line.npos && c.At(5, ':') && c.At(14, ' ') && c.At(23, 'H') &&
        c.Hex(15, 8, value)) {
      codeLength_ = static_cast<std::uint32_t>((std::uint64_t(value) + kPage - 1) / kPage * kPage);
    } else if (line.find(".data") != line.npos && c.Decimal(1, 4, value)) {
      dataSegment_ = value >= 2 && value <= 9 ? value : 2;
    }
  }

  // Code segment numbers run from 1 to below the data segment; those after
  // the first follow the code section.
  bool Place(std::uint32_t segment, std::uint32_t offset, bool& isCode, Address& address) const {
    if (segment < 1 || segment > dataSegment_) return false;
    isCode = segment < dataSegment_;
    if (segment > 1 && segment < dataSegment_) offset += codeLength_;
    address = (isCode ? map_.CodeStart : map_.DataStart) + offset;
    return true;
  }

  void Segment(std::string_view line) {
    const TColumns c(line);
    std::uint32_t number, offset, length;
    if (line.size() <= 72 || !c.At(5, ':') || !c.At(14, ' ') || !c.At(23, ' ') || !c.At(24, "C=") ||
        !c.Hex(1, 4, number) || !c.Hex(6, 8, offset) || !c.Hex(15, 8, length)) {
      return;
    }
    TMfSegment seg;
    if (!Place(number, offset, seg.IsCode, seg.SegStart)) return;
    std::string_view text = TrimRight(line.substr(0, line.rfind(' ')));
    const std::size_t cut = text.find_last_of("=\\|");
    seg.UnitName = UnitWithoutExtension(cut == text.npos ? text : text.substr(cut + 1));
    seg.SegLength = length;
    map_.Segments.push_back(std::move(seg));
    found_ = true;
  }

  void Public(std::string_view line) {
    const TColumns c(line);
    std::uint32_t number, offset;
    if (line.size() <= 13 || !c.At(5, ':') || !c.Hex(1, 4, number) || !c.Hex(6, 8, offset)) return;
    bool isCode;
    Address address;
    if (!Place(number, offset, isCode, address)) return;
    // A parenthesised part that ends the line is a remark, not the name.
    std::string_view rest = line;
    if (rest.back() == ')') {
      const std::size_t open = rest.rfind('(');
      if (open != rest.npos && open >= 13) rest = TrimRight(rest.substr(0, open));
    }
    const std::size_t space = rest.rfind(' ');
    if (space == rest.npos || space < 13) return;
    std::string text(rest.substr(space + 1));
    if (dataSegment_ > 2) {
      if (const TMfSegment* seg = SegmentAt(map_, isCode, address)) {
        const std::string& unit = seg->UnitName;
        if (!unit.empty() && text.size() > unit.size() &&
            EqualsIgnoreCase(text.substr(0, unit.size()), unit)) {
          text.erase(0, unit.size() + 1);
        }
      }
    }
    const std::size_t before = map_.Publics.size();
    AddPublic(map_, std::move(text), address, isCode);
    found_ = found_ || map_.Publics.size() > before;
  }

  void Lines(std::string_view line) {
    std::size_t at = 0;
    auto token = [&]() -> std::string_view {
      while (at < line.size() && line[at] == ' ') ++at;
      const std::size_t start = at;
      while (at < line.size() && line[at] != ' ') ++at;
      return line.substr(start, at - start);
    };
    for (;;) {
      const std::string_view number = token();
      const std::string_view address = token();
      if (number.empty() || address.empty()) break;
      std::uint32_t lineNo, segment, offset;
      if (address.size() != 13 || address[4] != ':' ||
          !TColumns::Number(number, 0, number.size(), 10, lineNo) ||
          !TColumns::Number(address, 0, 4, 16, segment) ||
          !TColumns::Number(address, 5, 8, 16, offset)) {
        return;  // not a line of pairs
      }
      if (segment < 1 || segment >= dataSegment_) continue;
      if (segment >= 2) offset += codeLength_;
      const Address where = map_.CodeStart + offset;
      if (!firstLineOfBlock_ && haveLast_ && where <= last_) continue;
      map_.Lines.push_back({static_cast<std::int32_t>(lineNo), where});
      last_ = where;
      haveLast_ = true;
      found_ = true;
    }
    firstLineOfBlock_ = false;
  }

  TMapFile& map_;
  Block block_ = Block::None;
  std::uint32_t codeLength_ = 0;
  std::uint32_t dataSegment_ = 2;
  bool firstLineOfBlock_ = false;
  bool haveLast_ = false;
  Address last_ = 0;
  bool found_ = false;
};

void Append(std::string& out, const char* format, auto... args) {
  char buffer[512];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n > 0)
    out.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

}  // namespace

bool ReadTextMap(std::string_view text, TMapFile& map) {
  TTextMapReader reader(map);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    reader.Line(line);
    if (end == text.npos) break;
    text.remove_prefix(end + 1);
  }
  SortSegments(map);
  return reader.Found();
}

std::string WriteTextMap(const TTextMapSource& source) {
  std::string out = "\r\n Start         Length     Name                   Class\r\n";
  Append(out, " 0001:00000000 %08XH .text                   CODE\r\n", source.CodeLength);
  Append(out, " 0002:%08X %08XH .data                   DATA\r\n\r\n\r\n", source.DataStart,
         source.DataLength);
  out += "Detailed map of segments\r\n\r\n";
  for (const auto& unit : source.Units) {
    Append(out, " 0001:%08X %08X C=CODE     S=.text    G=(none)   M=%-16s ACBP=A9\r\n", unit.Start,
           unit.Length, unit.Name.c_str());
  }
  out += "\r\n\r\n  Address             Publics by Value\r\n\r\n";
  for (const auto& symbol : source.Publics) {
    out += " 0001:";
    Append(out, "%08X", symbol.Offset);
    out += "       " + symbol.Name + "\r\n";
  }
  out += "\r\n";
  for (const auto& unit : source.Units) {
    if (unit.Lines.empty()) continue;
    out += "\r\nLine numbers for " + unit.Name + "(" + unit.Name + ") segment .text\r\n\r\n";
    for (std::size_t i = 0; i < unit.Lines.size(); ++i) {
      Append(out, " %5d 0001:%08X", unit.Lines[i].LineNo, unit.Lines[i].LineAddress);
      out += (i % 4 == 3 || i + 1 == unit.Lines.size()) ? "\r\n" : "";
    }
  }
  if (source.HasEntryPoint)
    Append(out, "\r\nProgram entry point at 0001:%08X\r\n", source.EntryPoint);
  return out;
}

}  // namespace corvan::crash
