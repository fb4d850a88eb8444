#include "BreakpadSymbols.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

#include "crash/analysis/MapTables.h"

namespace corvan::mkmap {
namespace {

constexpr std::size_t kRecordHead = 24;

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One row of an unwind table as Breakpad rules: ".cfa", ".ra" and the
// registers ("$ebp") with a rule, each mapped to its postfix expression.
using Rules = std::map<std::string, std::string>;

// The DWARF register numbers of i386 and the names objdump gives them.
const char* const kRegisters[] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi", "eip"};

std::optional<std::string> RegisterName(std::string_view text) {
  if (text.size() > 1 && text[0] == 'r' && text.find_first_not_of("0123456789", 1) == text.npos) {
    const unsigned number = static_cast<unsigned>(std::atoi(std::string(text.substr(1)).c_str()));
    if (number < std::size(kRegisters)) return std::string(kRegisters[number]);
    return std::nullopt;
  }
  for (const char* name : kRegisters)
    if (text == name) return std::string(name);
  return std::nullopt;
}

// "esp+4" as "$esp 4 +"; nothing for an expression.
std::optional<std::string> CfaRule(const std::string& text) {
  const std::size_t sign = text.find_first_of("+-");
  if (sign == std::string::npos) return std::nullopt;
  const auto reg = RegisterName(std::string_view(text).substr(0, sign));
  if (!reg) return std::nullopt;
  return "$" + *reg + " " + std::to_string(std::atol(text.c_str() + sign)) + " +";
}

// A register's rule: "c-8" (saved at CFA-8), "v-8" (is CFA-8), a register
// name (held in that register). "u" and "s" leave the register as it is in
// the callee, which the walker assumes for callee-saved ones; "exp" has no
// form. Nothing for all of these.
std::optional<std::string> RegisterRule(const std::string& text) {
  if (text.size() > 1 && (text[0] == 'c' || text[0] == 'v') &&
      (text[1] == '-' || text[1] == '+' || (text[1] >= '0' && text[1] <= '9'))) {
    const std::string offset = std::to_string(std::atol(text.c_str() + 1));
    return ".cfa " + offset + (text[0] == 'c' ? " + ^" : " +");
  }
  if (const auto reg = RegisterName(text)) return "$" + *reg;
  return std::nullopt;
}

// The rules of a table row (its columns after LOC), or nothing when the
// frame address or the return address has no Breakpad form there.
std::optional<Rules> RowRules(const std::vector<std::string>& columns,
                              const std::vector<std::string>& values) {
  Rules rules;
  for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i) {
    if (columns[i] == "CFA") {
      const auto cfa = CfaRule(values[i]);
      if (!cfa) return std::nullopt;
      rules[".cfa"] = *cfa;
    } else if (columns[i] == "ra") {
      if (const auto rule = RegisterRule(values[i])) rules[".ra"] = *rule;
    } else if (const auto reg = RegisterName(columns[i])) {
      if (*reg == "esp" || *reg == "eip") continue;  // the frame address and .ra stand for them
      if (const auto rule = RegisterRule(values[i])) rules["$" + *reg] = *rule;
    }
  }
  if (!rules.count(".cfa") || !rules.count(".ra")) return std::nullopt;
  return rules;
}

std::string RulesText(const Rules& rules) {
  std::string text;
  // The frame address first: the others refer to it.
  for (const char* first : {".cfa", ".ra"})
    text += " " + std::string(first) + ": " + rules.at(first);
  for (const auto& [name, rule] : rules)
    if (name != ".cfa" && name != ".ra") text += " " + name + ": " + rule;
  return text;
}

struct TableRow {
  std::uint32_t address = 0;
  std::vector<std::string> values;
};

struct Table {
  std::vector<std::string> columns;
  std::vector<TableRow> rows;
};

// The records of one entry covering [start, end).
void AppendEntry(std::string& out, std::uint32_t start, std::uint32_t end, const Table& table,
                 std::uint32_t imageBase) {
  std::vector<std::pair<std::uint32_t, Rules>> rows;
  for (const TableRow& row : table.rows) {
    if (row.address < start || row.address >= end) continue;
    const auto rules = RowRules(table.columns, row.values);
    if (!rules) {
      end = row.address;  // no Breakpad form from here on
      break;
    }
    rows.emplace_back(row.address, *rules);
  }
  if (rows.empty() || rows.front().first != start || end <= start) return;
  out += "STACK CFI INIT " + Hex(start - imageBase) + " " + Hex(end - start) +
         RulesText(rows.front().second) + "\n";
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const Rules& before = rows[i - 1].second;
    const Rules& now = rows[i].second;
    std::string changed;
    auto note = [&](const std::string& name, const std::string& rule) {
      const auto was = before.find(name);
      if (was == before.end() || was->second != rule) changed += " " + name + ": " + rule;
    };
    note(".cfa", now.at(".cfa"));
    note(".ra", now.at(".ra"));
    for (const auto& [name, rule] : now)
      if (name != ".cfa" && name != ".ra") note(name, rule);
    // A register restored in the epilogue is the callee's again.
    for (const auto& [name, rule] : before)
      if (!now.count(name)) changed += " " + name + ": " + name;
    if (!changed.empty()) out += "STACK CFI " + Hex(rows[i].first - imageBase) + changed + "\n";
  }
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool IsHex(const std::string& word) {
  return !word.empty() && word.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

std::string BreakpadIdentifier(std::span<const std::uint8_t> record) {
  if (record.size() < kRecordHead || std::memcmp(record.data(), "RSDS", 4) != 0) return {};
  const std::uint8_t* g = record.data() + 4;
  char text[64];
  std::snprintf(text, sizeof text, "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X%x", Le32(g),
                g[4] | g[5] << 8, g[6] | g[7] << 8, g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15], Le32(record.data() + 20));
  return text;
}

std::string CodeViewDatabase(std::span<const std::uint8_t> record) {
  if (record.size() <= kRecordHead || std::memcmp(record.data(), "RSDS", 4) != 0) return {};
  const auto name = record.subspan(kRecordHead);
  const auto zero = std::find(name.begin(), name.end(), 0);
  return BaseName(std::string(name.begin(), zero));
}

std::string SymbolFilePath(const std::string& debugFile, const std::string& identifier) {
  std::string name = debugFile;
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pdb") == 0)
    name.resize(name.size() - 4);
  return debugFile + "/" + identifier + "/" + name + ".sym";
}

std::string StackCfiRecords(const std::string& framesText, std::uint32_t imageBase) {
  // objdump's layout: a header line per entry ("<offset> <length> <id> CIE
  // ..." or "... FDE cie=<offset> pc=<start>..<end>"), then, unless the
  // entry has no instructions, its table: "LOC CFA <registers...>" and a
  // row per address. An FDE without a table keeps its CIE's initial row.
  std::map<std::string, Table> cies;
  std::string out;
  std::istringstream in(framesText);
  std::string line;
  Table* table = nullptr;
  Table fde;
  std::string fdeCie;
  std::uint32_t start = 0, end = 0;
  bool inFde = false;
  auto finish = [&] {
    if (!inFde) return;
    inFde = false;
    if (fde.rows.empty()) {
      const auto cie = cies.find(fdeCie);
      if (cie == cies.end() || cie->second.rows.empty()) return;
      fde.columns = cie->second.columns;
      fde.rows = {{start, cie->second.rows.front().values}};
    }
    AppendEntry(out, start, end, fde, imageBase);
  };
  while (std::getline(in, line)) {
    const std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    if (words.size() >= 4 && IsHex(words[0]) && (words[3] == "CIE" || words[3] == "FDE")) {
      finish();
      if (words[3] == "CIE") {
        table = &cies[words[0]];
        *table = {};
        continue;
      }
      fde = {};
      table = &fde;
      fdeCie.clear();
      for (const std::string& w : words) {
        if (w.starts_with("cie=")) fdeCie = w.substr(4);
        const std::size_t dots = w.find("..");
        if (w.starts_with("pc=") && dots != std::string::npos) {
          start = static_cast<std::uint32_t>(std::stoul(w.substr(3, dots - 3), nullptr, 16));
          end = static_cast<std::uint32_t>(std::stoul(w.substr(dots + 2), nullptr, 16));
          inFde = start >= imageBase && end > start;
        }
      }
      continue;
    }
    if (!table) continue;
    if (words[0] == "LOC") {
      table->columns.assign(words.begin() + 1, words.end());
    } else if (IsHex(words[0]) && !table->columns.empty()) {
      table->rows.push_back({static_cast<std::uint32_t>(std::stoul(words[0], nullptr, 16)),
                             {words.begin() + 1, words.end()}});
    }
  }
  finish();
  return out;
}

std::string SymbolFileText(const SymbolModule& module, const std::vector<SymbolFunction>& functions,
                           const std::vector<SymbolRow>& rows, const std::string& stackCfi) {
  std::map<std::string, std::size_t> files;
  std::string fileText, funcText, publicText;
  auto fileNumber = [&](const std::string& path) {
    const auto [it, added] = files.try_emplace(path, files.size());
    if (added) fileText += "FILE " + std::to_string(it->second) + " " + path + "\n";
    return it->second;
  };
  std::size_t r = 0;
  for (const SymbolFunction& f : functions) {
    while (r < rows.size() && rows[r].address < f.start) ++r;
    const std::size_t first = r;
    while (r < rows.size() && rows[r].address < f.end) ++r;
    const std::string name = f.name.starts_with("_Z") ? crash::DemangleCpp(f.name) : f.name;
    if (first == r) {
      publicText += "PUBLIC " + Hex(f.start - module.imageBase) + " 0 " + name + "\n";
      continue;
    }
    // The function's own rows, the last row at an address holding.
    const std::string own = BaseName(rows[first].file);
    std::vector<const SymbolRow*> kept;
    for (std::size_t i = first; i < r; ++i) {
      if (BaseName(rows[i].file) != own) continue;
      if (!kept.empty() && kept.back()->address == rows[i].address) kept.pop_back();
      kept.push_back(&rows[i]);
    }
    funcText += "FUNC " + Hex(f.start - module.imageBase) + " " + Hex(f.end - f.start) + " 0 " +
                name + "\n";
    for (std::size_t i = 0; i < kept.size(); ++i) {
      const std::uint32_t next = i + 1 < kept.size() ? kept[i + 1]->address : f.end;
      const std::size_t file = fileNumber(kept[i]->file);
      funcText += Hex(kept[i]->address - module.imageBase) + " " + Hex(next - kept[i]->address) +
                  " " + std::to_string(kept[i]->line) + " " + std::to_string(file) + "\n";
    }
  }
  return "MODULE windows x86 " + module.identifier + " " + module.debugFile + "\n" +
         "INFO CODE_ID " + module.codeId + " " + module.codeFile + "\n" + fileText + funcText +
         publicText + stackCfi;
}

}  // namespace corvan::mkmap
