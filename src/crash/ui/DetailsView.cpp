#include "crash/ui/DetailsView.h"

#include <algorithm>
#include <cctype>

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr char kNoBreakSpace = static_cast<char>(160);
constexpr std::uint32_t kLightBlueRow = 0xFFF8F0;
constexpr std::uint32_t kLightRedRow = 0xF4F4FF;

// One line of a text: where it starts and how long it is; a title line
// (">>") has length -1 so that it never takes part in column detection.
struct Line {
  std::size_t start = 0;
  int length = 0;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::vector<Line> Lines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    const std::size_t length = (end == std::string_view::npos ? text.size() : end) - start;
    const bool title = StartsWith(text.substr(start), ">>");
    lines.push_back({start, title ? -1 : static_cast<int>(length)});
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  return lines;
}

std::string_view LineText(std::string_view text, const Line& line) {
  const std::size_t end = text.find("\r\n", line.start);
  return text.substr(line.start, (end == std::string_view::npos ? text.size() : end) - line.start);
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Trim(std::string_view s, bool keepTabs) {
  auto trimmed = [keepTabs](char c) { return IsBlankOrControl(c) && !(keepTabs && c == '\t'); };
  std::size_t b = 0, e = s.size();
  while (b < e && trimmed(s[b])) ++b;
  while (e > b && trimmed(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimRight(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && IsBlankOrControl(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.emplace_back(
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

std::vector<DetailsColumn> Columns(std::string_view captions) {
  std::vector<DetailsColumn> columns;
  for (const std::string& caption : Split(captions, '|')) columns.push_back(ParseCaption(caption));
  return columns;
}

// Splits at CR, trims each row (TABs stay) and puts a TAB in place of the
// separator in front of the first columns - 1 boundaries.
std::vector<DetailsItem> CutRows(std::string_view text, const std::vector<int>& boundaries,
                                 std::size_t columns) {
  std::vector<DetailsItem> rows;
  const std::size_t used = std::min(boundaries.size(), columns > 0 ? columns - 1 : 0);
  for (const std::string& part : Split(text, '\r')) {
    std::string row = Trim(part, true);
    for (std::size_t k = 0; k < used; ++k) {
      const int b = boundaries[k];
      if (b > 0 && static_cast<std::size_t>(b) <= row.size()) row[b - 1] = '\t';
    }
    rows.push_back({std::move(row)});
  }
  return rows;
}

DetailsContent Tabular(std::string text, std::string_view captions, bool fixedPitch) {
  DetailsContent out;
  out.fixedPitch = fixedPitch;
  out.columns = Columns(captions);
  const std::vector<int> boundaries = DetectColumns(text, true);
  out.items = CutRows(text, boundaries, out.columns.size());
  return out;
}

// ---- Call stacks ------------------------------------------------------------

constexpr int kNone = -1;

struct BlockFields {
  int relAddress = kNone, module = kNone, unit = kNone, line = kNone, relLine = kNone,
      function = kNone;
};

struct Block {
  Block(std::size_t f, std::size_t l) : first(f), last(l) {}
  std::size_t first, last;  // line indexes
  std::vector<int> boundaries;
  BlockFields fields;
};

std::string FieldOf(std::string_view line, const std::vector<int>& b, int k) {
  const std::size_t from = k == 0 ? 0 : static_cast<std::size_t>(b[k - 1]);
  if (from >= line.size()) return {};
  const std::size_t to =
      k < static_cast<int>(b.size()) ? static_cast<std::size_t>(b[k]) : line.size();
  return TrimRight(line.substr(from, std::min(to, line.size()) - from));
}

// Whether field k fits test on every content line that reaches it.
template <class Test>
bool EveryLine(const std::string& text, const std::vector<Line>& lines, const Block& block, int k,
               Test test) {
  for (std::size_t i = block.first; i <= block.last; ++i) {
    if (lines[i].length <= 0) continue;
    const std::string_view line = LineText(text, lines[i]);
    if (k > 0 && static_cast<std::size_t>(block.boundaries[k - 1]) >= line.size()) continue;
    if (!test(FieldOf(line, block.boundaries, k))) return false;
  }
  return true;
}

bool IsRelativeAddress(const std::string& f) {
  return f.size() > 1 && f[0] == '+' && std::all_of(f.begin() + 1, f.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c));
         });
}

bool IsLineNumber(const std::string& f) {
  const std::size_t digits = f.find_first_not_of(' ');
  return std::all_of(f.begin() + static_cast<long>(digits == std::string::npos ? f.size() : digits),
                     f.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool IsUnitOrFunction(const std::string& f) {
  if (f.empty() || StartsWithIgnoreCase(f, "public%") || StartsWithIgnoreCase(f, "segment%"))
    return true;
  if (!std::isalpha(static_cast<unsigned char>(f[0])) && f[0] != '_') return false;
  return std::all_of(f.begin(), f.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

void ClassifyFields(const std::string& text, const std::vector<Line>& lines, Block& block) {
  const int nb = static_cast<int>(block.boundaries.size());
  BlockFields& f = block.fields;
  f.module = 1;
  if (nb >= 2 && EveryLine(text, lines, block, 1, IsRelativeAddress)) {
    f.relAddress = 1;
    f.module = 2;
  }
  const int moduleField = f.module;
  if (f.module > nb) f.module = kNone;
  for (int k = moduleField + 2; k <= nb; ++k) {
    if (EveryLine(text, lines, block, k, IsLineNumber)) {
      f.line = k;
      f.unit = k - 1;
      if (nb - k >= 2) {
        f.relLine = k + 1;
        f.function = k + 2;
      } else if (nb - k == 1) {
        f.function = k + 1;
      }
      return;
    }
  }
  if (nb <= (f.relAddress == kNone ? 1 : 2)) return;
  for (int k = moduleField + 1; k <= nb; ++k) {
    if (!EveryLine(text, lines, block, k, IsUnitOrFunction)) continue;
    if (k == nb - 1) {
      f.unit = k;
      f.function = nb;
    } else {
      f.function = k;
    }
    return;
  }
}

}  // namespace

DetailsColumn ParseCaption(std::string_view caption) {
  DetailsColumn column;
  if (StartsWith(caption, "^")) {
    column.upperCase = true;
    caption.remove_prefix(1);
  }
  if (StartsWith(caption, " ")) {
    column.rightAligned = true;
    caption.remove_prefix(1);
  }
  column.caption = std::string(caption);
  return column;
}

std::vector<std::string> ItemCells(const DetailsItem& item,
                                   const std::vector<DetailsColumn>& columns) {
  std::vector<std::string> cells(columns.size());
  if (columns.empty()) return cells;
  if (StartsWith(item.text, ">>")) {
    cells[0] = ">>";
    return cells;
  }
  std::string_view rest = item.text;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    std::string_view cell = rest;
    if (c + 1 < columns.size()) {
      const std::size_t tab = rest.find('\t');
      cell = rest.substr(0, tab);
      rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
    }
    cells[c] = Trim(cell, false);
    if (columns[c].upperCase) {
      for (char& ch : cells[c])
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
  }
  return cells;
}

std::vector<int> DetectColumns(std::string& text, bool ignoreSingle) {
  const std::vector<Line> lines = Lines(text);
  std::vector<int> boundaries;
  const auto longest = std::max_element(
      lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.length < b.length; });
  if (longest == lines.end() || longest->length < 3) return boundaries;
  const int nonEmpty = static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [](const Line& l) { return l.length > 0; }));
  for (int p = 1; p <= longest->length - 2; ++p) {
    const char c = text[longest->start + p];
    const bool candidate =
        c == ' ' || c == '=' || c == '|' || (c == ':' && text[longest->start + p + 1] == ' ');
    if (!candidate) continue;
    bool holds = true;
    int count = 0;
    for (const Line& line : lines) {
      if (&line == &*longest || line.length <= p) continue;
      if (text[line.start + p] != c) {
        holds = false;
        break;
      }
      if (c != ' ' || (p + 1 < line.length && text[line.start + p + 1] != ' ')) ++count;
    }
    if (!holds || (ignoreSingle && nonEmpty != 1 && count <= 1)) continue;
    for (const Line& line : lines) {
      if (line.length > p) text[line.start + p] = ' ';
    }
    if (!boundaries.empty() && boundaries.back() == p) {
      boundaries.back() = p + 1;
    } else {
      boundaries.push_back(p + 1);
    }
  }
  return boundaries;
}

int ThreadSectionCount(const NamedTexts& sections) {
  int n = sections.empty() ? 0 : 1;
  while (n < static_cast<int>(sections.size()) && sections[n].first.find('$') != std::string::npos)
    ++n;
  return std::max(n, 1);
}

std::vector<std::string> WantedTabs(const NamedTexts& sections) {
  std::vector<std::string> tabs = {"general", "call stack"};
  if (sections.size() > 1 && sections[1].first.find('$') != std::string::npos) tabs[1] += "s";
  for (std::size_t i = static_cast<std::size_t>(ThreadSectionCount(sections)); i < sections.size();
       ++i) {
    const std::string& name = sections[i].first;
    tabs.push_back(name == "cpu registers"   ? "cpu regs"
                   : name == "disassembling" ? "disasm"
                                             : name);
  }
  return tabs;
}

TabText TextOfTab(int tab, const NamedTexts& header, const NamedTexts& sections) {
  TabText out;
  if (tab == 0) {
    for (const auto& [name, value] : header) {
      if (!out.text.empty()) out.text += "\r\n";
      out.text += name + "\t" + value;
    }
    return out;
  }
  const int n = ThreadSectionCount(sections);
  if (tab == 1) {
    for (int i = 0; i < n && i < static_cast<int>(sections.size()); ++i) {
      if (i > 0) out.text += "\r\n\r\n";
      out.text += ">> " + sections[i].first + "\r\n" + sections[i].second;
    }
    return out;
  }
  const std::size_t index = static_cast<std::size_t>(tab + n - 2);
  if (tab > 1 && index < sections.size()) out = {sections[index].first, sections[index].second};
  return out;
}

DetailsContent FormatTab(int tab, const std::string& section, const std::string& text) {
  if (StartsWithIgnoreCase(text, ">> will be")) return FormatAutomatic(text);
  if (StartsWithIgnoreCase(text, ">> internal")) return FormatCallStacks(text);
  if (tab == 0) return FormatHeader(text);
  if (tab == 1) return FormatCallStacks(text);
  if (section == "modules") return FormatModules(text);
  if (section == "cpu registers") return FormatRegisters(text);
  if (section == "stack dump") return FormatStackDump(text);
  if (section == "processes") return FormatProcesses(text);
  if (section != "disassembling") return FormatAutomatic(text);
  return FormatDisassembly(text);
}

DetailsContent FormatHeader(const std::string& text) {
  DetailsContent out;
  out.columns = Columns("description|value");
  out.items = CutRows(text, {}, out.columns.size());
  return out;
}

DetailsContent FormatRegisters(const std::string& text) {
  return Tabular(text, "reg.|content", true);
}

DetailsContent FormatModules(const std::string& text) {
  return Tabular(text, "^handle|file name| version|path", false);
}

DetailsContent FormatProcesses(const std::string& text) {
  std::string copy = text;
  const std::vector<int> boundaries = DetectColumns(copy, true);
  DetailsContent out;
  out.columns = Columns(boundaries.size() == 3 ? "^id|file name|priority|path"
                                               : "^id|file name|session|priority|path");
  out.items = CutRows(copy, boundaries, out.columns.size());
  return out;
}

DetailsContent FormatStackDump(const std::string& text) {
  DetailsContent out;
  out.fixedPitch = true;
  out.columns = Columns("address|data - hexadecimal|data - chars");
  out.items = CutRows(text, {10, 61}, out.columns.size());
  return out;
}

DetailsContent FormatDisassembly(const std::string& text) {
  DetailsContent out;
  out.fixedPitch = true;
  // c: 1-based position of the fault marker ">" in its line (0: none).
  int c = 0;
  const std::vector<Line> lines = Lines(text);
  for (const Line& line : lines) {
    const std::string_view l = LineText(text, line);
    if (l.empty()) continue;
    const std::size_t limit = std::min<std::size_t>(l.size() - 1, 25);
    const std::size_t at = l.substr(0, limit + 1).find('>');
    if (at == std::string_view::npos) continue;
    c = static_cast<int>(at) + 1;
    break;
  }
  std::vector<int> boundaries = {9};
  if (c > 10) {
    boundaries.push_back(c - 1);
    out.columns = Columns("address|line|asm code|comments");
  } else {
    out.columns = Columns("address|asm code|comments");
  }
  // Comments get a column of their own; separator lines keep theirs.
  std::string marked;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ';' && text.compare(i, 4, "; --") != 0) marked += '\t';
    marked += text[i];
  }
  for (const std::string& part : Split(marked, '\r')) {
    std::string row = Trim(part, true);
    for (int b : boundaries) {
      if (static_cast<std::size_t>(b) <= row.size()) row[b - 1] = '\t';
    }
    DetailsItem item;
    if (c > 0 && static_cast<std::size_t>(c) <= row.size() &&
        (row[c - 1] == ' ' || row[c - 1] == '>')) {
      if (row[c - 1] == '>') item.colour = kFaultRowColour;
      row[c - 1] = kNoBreakSpace;
    }
    const std::size_t separator = row.find("; --");
    if (separator != std::string::npos && separator + 2 < row.size()) row.erase(separator + 2, 28);
    item.text = std::move(row);
    out.items.push_back(std::move(item));
  }
  return out;
}

DetailsContent FormatCallStacks(const std::string& original) {
  std::string text = original;
  const std::vector<Line> lines = Lines(text);
  // Blocks end before an empty or title line that follows content.
  std::vector<Block> blocks;
  std::size_t end = lines.size() - 1;
  for (std::size_t i = lines.size() - 1; i > 0; --i) {
    const bool content = lines[i].length > 0, previousContent = lines[i - 1].length > 0;
    if (!content && previousContent && !StartsWith(LineText(text, lines[i]), ">> created")) {
      blocks.insert(blocks.begin(), Block(i, end));
      end = i - 1;
    }
  }
  blocks.insert(blocks.begin(), Block(0, end));

  bool any[6] = {};
  for (Block& block : blocks) {
    // Detection sees only this block's lines.
    const std::size_t from = lines[block.first].start;
    const std::size_t to =
        block.last + 1 < lines.size() ? lines[block.last + 1].start - 2 : text.size();
    std::string part = text.substr(from, to - from);
    block.boundaries = DetectColumns(part, false);
    text.replace(from, to - from, part);
    ClassifyFields(text, lines, block);
    const BlockFields& f = block.fields;
    const int roles[6] = {f.relAddress, f.module, f.unit, f.line, f.relLine, f.function};
    for (int r = 0; r < 6; ++r) any[r] = any[r] || roles[r] != kNone;
  }

  DetailsContent out;
  std::string captions = "^address";
  const char* names[6] = {"|^ rel.", "|module", "|unit", "| line", "| rel.", "|function"};
  for (int r = 0; r < 6; ++r) {
    if (any[r]) captions += names[r];
  }
  out.columns = Columns(captions);

  bool running = !StartsWith(original, ">> internal error");
  for (const Block& block : blocks) {
    const BlockFields& f = block.fields;
    const int roles[6] = {f.relAddress, f.module, f.unit, f.line, f.relLine, f.function};
    for (std::size_t i = block.first; i <= block.last; ++i) {
      const std::string_view line = LineText(text, lines[i]);
      DetailsItem item;
      item.text = Trim(line, true);
      if (item.text.empty() || StartsWith(item.text, ">>")) {
        item.colour = kWhite;
        item.title = running;
        running = item.text.empty();
        out.items.push_back(std::move(item));
        continue;
      }
      running = false;
      std::string row = FieldOf(line, block.boundaries, 0);
      for (int r = 0; r < 6; ++r) {
        if (!any[r]) continue;
        row += '\t';
        if (roles[r] == kNone) continue;
        if (r == 1 && f.unit != kNone && f.unit > f.module + 1) {
          // The module reaches up to the unit.
          const std::size_t a = static_cast<std::size_t>(block.boundaries[f.module - 1]);
          const std::size_t b = static_cast<std::size_t>(block.boundaries[f.unit - 1]);
          if (a < line.size()) row += Trim(line.substr(a, std::min(b, line.size()) - a), false);
        } else {
          row += FieldOf(line, block.boundaries, roles[r]);
        }
      }
      item.text = std::move(row);
      out.items.push_back(std::move(item));
    }
  }
  return out;
}

DetailsContent FormatAutomatic(const std::string& original) {
  std::string text = original;
  DetailsContent out;
  const std::vector<Line> lines = Lines(text);
  int shortLines = 0, longLines = 0;
  bool fixedPitch = true;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].length < 0) {
      fixedPitch = false;  // a title line begins with ">"
      continue;
    }
    (lines[i].length <= 80 ? shortLines : longLines) += 1;
    const std::string_view l = LineText(text, lines[i]);
    const std::size_t first = l.find_first_not_of(' ');
    if (first == std::string_view::npos) continue;
    const char c = l[first];
    if (c != '+' && c != '-' && !(i == 0 && c == '!')) fixedPitch = false;
  }
  out.fixedPitch = fixedPitch;
  const bool headers = StartsWith(text, "^");
  out.columnHeaders = headers;
  if (!((shortLines + longLines > 1 && longLines * 5 < shortLines) || headers)) return out;

  std::vector<int> boundaries;
  std::size_t columns = 1;
  if (fixedPitch) {
    for (const Line& line : lines) {
      if (line.length > 0 && text[line.start] == ' ') text[line.start] = kNoBreakSpace;
    }
  } else if (text.find('\t') == std::string::npos) {
    boundaries = DetectColumns(text, true);
    columns = boundaries.size() + 1;
  } else {
    for (const Line& line : lines) {
      const std::string_view l = LineText(text, line);
      columns =
          std::max(columns, static_cast<std::size_t>(std::count(l.begin(), l.end(), '\t')) + 1);
    }
  }
  out.items = CutRows(text, boundaries, columns);
  out.columns.assign(columns, DetailsColumn{});
  if (headers && !out.items.empty()) {
    const std::vector<std::string> captions =
        Split(std::string_view(out.items.front().text).substr(1), '\t');
    for (std::size_t k = 0; k < captions.size() && k < columns; ++k)
      out.columns[k] = ParseCaption(captions[k]);
    out.items.erase(out.items.begin());
  }
  if (fixedPitch) {
    for (std::size_t i = 0; i < out.items.size(); ++i) {
      DetailsItem& item = out.items[i];
      if (StartsWith(item.text, "+")) item.colour = kLightBlueRow;
      if (StartsWith(item.text, "!")) {
        item.colour = kLightRedRow;
        if (i == 0) item.text.erase(0, 1);
      }
    }
  }
  return out;
}

}  // namespace corvan::crash
