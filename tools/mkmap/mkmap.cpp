// mkmap: writes the symbol maps of a Windows program built with the GNU
// toolchain, from what binutils report about it.
//   mkmap EXE NM.txt LINES.txt OUT.map OUT.zel
//     NM.txt: `nm --defined-only EXE`; LINES.txt: `objdump --dwarf=decodedline EXE`.
//     Writes the text map (mangled names, the detailed-map columns) and the
//     compact map read back from it, so the compact map holds exactly what
//     the text map says.
//   mkmap --check NM1.txt NM2.txt
//     Fails when a code symbol of the first link is missing from the second
//     or moved: embedding the map must not move any code.
//   mkmap --calibrate EXE NM.txt OUT.bin
//     Writes the calibration resource of a program that carries the
//     reporter (its reference routine and variable are in NM.txt); removes
//     OUT.bin for any other program.
//   mkmap --checksum EXE
//     Writes the PE checksum into the optional header of EXE.
//   mkmap --symbols EXE NM.txt LINES.txt FRAMES.txt ROOT
//     Writes the Breakpad symbol file of EXE (FRAMES.txt: `objdump
//     --dwarf=frames-interp EXE`) to ROOT/<debug file>/<identifier>/, both
//     from its CodeView record, and removes the files of earlier links.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BreakpadSymbols.h"
#include "crash/analysis/CompactMap.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/ModuleCalibration.h"
#include "crash/analysis/PeChecksum.h"
#include "crash/analysis/PeImage.h"
#include "crash/analysis/TextMap.h"
#include "crash/util/Crc32.h"
#include "crash/util/TextParts.h"

namespace {

using namespace corvan::crash;
namespace mkmap = corvan::mkmap;

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out.flush());
}

struct TSymbol {
  Address address = 0;
  char type = 0;
  std::string name;
};

// Code symbols ('t' and 'T') of nm's output. Names lose the underscore that
// 32-bit COFF puts in front of every C and C++ name, and GCC's clone
// suffixes (".cold", ".part.0", ".isra.0"): a clone is named after its
// function.
std::vector<TSymbol> CodeSymbols(const std::string& nmText) {
  std::vector<TSymbol> symbols;
  std::istringstream in(nmText);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name) || type.size() != 1) continue;
    if (type[0] != 't' && type[0] != 'T') continue;
    if (name.empty() || name[0] == '.') continue;  // section symbols
    if (name[0] == '_') name.erase(0, 1);
    const std::size_t dot = name.find('.', 1);
    if (dot != std::string::npos) name.erase(dot);
    // A stdcall function carries "@bytes" after its name.
    const std::size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 && at + 1 < name.size() &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
      name.erase(at);
    }
    if (name.empty()) continue;
    TSymbol s;
    s.address = static_cast<Address>(std::stoul(address, nullptr, 16));
    s.type = type[0];
    s.name = name;
    symbols.push_back(std::move(s));
  }
  return symbols;
}

struct TRow {
  Address address = 0;
  std::int32_t line = 0;
  std::string file;  // full path as the line table gives it
};

// The rows of objdump's decoded line table. A line "path:" names the file
// of the rows that follow; end-of-sequence rows ("-") are skipped.
std::vector<TRow> LineRows(const std::string& text) {
  std::vector<TRow> rows;
  std::istringstream in(text);
  std::string line, file;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.back() == ':' && line.find(' ') == std::string::npos) {
      file = line.substr(0, line.size() - 1);
      if (file.starts_with("CU: ")) file.erase(0, 4);
      continue;
    }
    if (line.starts_with("CU: ") && line.back() == ':') {
      file = line.substr(4, line.size() - 5);
      continue;
    }
    std::istringstream fields(line);
    std::string name, number, address;
    if (!(fields >> name >> number >> address) || !address.starts_with("0x")) continue;
    if (number.find_first_not_of("0123456789") != std::string::npos) continue;
    rows.push_back(
        {static_cast<Address>(std::stoul(address, nullptr, 16)), std::stoi(number), file});
  }
  return rows;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Check(const std::string& first, const std::string& second) {
  std::string a, b;
  if (!ReadFile(first, a) || !ReadFile(second, b)) {
    std::cerr << "mkmap: cannot read the symbol lists\n";
    return 1;
  }
  std::set<std::pair<std::string, Address>> after;
  for (const TSymbol& s : CodeSymbols(b)) after.insert({s.name, s.address});
  int moved = 0;
  for (const TSymbol& s : CodeSymbols(a)) {
    if (!after.count({s.name, s.address})) {
      if (++moved <= 10)
        std::cerr << "mkmap: code symbol moved by embedding the map: " << s.name << "\n";
    }
  }
  if (moved) std::cerr << "mkmap: " << moved << " code symbols moved\n";
  return moved ? 1 : 0;
}

// Address of the symbol named exactly name (with COFF's leading underscore)
// in nm's output.
std::optional<Address> SymbolAddress(const std::string& nmText, const std::string& name) {
  std::istringstream in(nmText);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, type, symbol;
    if (fields >> address >> type >> symbol && symbol == "_" + name)
      return static_cast<Address>(std::stoul(address, nullptr, 16));
  }
  return std::nullopt;
}

int Calibrate(const std::string& exePath, const std::string& nmPath, const std::string& outPath) {
  std::string exe, nm;
  if (!ReadFile(exePath, exe) || !ReadFile(nmPath, nm)) {
    std::cerr << "mkmap: cannot read the inputs\n";
    return 1;
  }
  std::remove(outPath.c_str());
  const auto code = SymbolAddress(nm, "zelCalibrationCode");
  const auto data = SymbolAddress(nm, "zelCalibrationData");
  if (!code && !data) return 0;  // no reporter in this program
  const BufferImageBytes bytes({reinterpret_cast<const std::uint8_t*>(exe.data()), exe.size()});
  const PeImage image(bytes, ImageLayout::File);
  const auto base = static_cast<Address>(image.ImageBase());
  std::optional<ModuleCalibration> calibration;
  if (code && data && *code >= base && *data >= base)
    calibration = CalibrationOfImage(image, *code - base, *data - base);
  if (!calibration) {
    std::cerr << "mkmap: the calibration references of " << exePath
              << " lie outside its code and data\n";
    return 1;
  }
  const auto encoded = EncodeCalibration(*calibration);
  return WriteFile(outPath, encoded.data(), encoded.size()) ? 0 : 1;
}

int WriteChecksum(const std::string& exePath) {
  std::string exe;
  if (!ReadFile(exePath, exe)) {
    std::cerr << "mkmap: cannot read " << exePath << "\n";
    return 1;
  }
  const std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t*>(exe.data()),
                                           exe.size());
  const auto field = PeChecksumOffset(file);
  if (!field) {
    std::cerr << "mkmap: " << exePath << " is not a PE image\n";
    return 1;
  }
  const std::uint32_t sum = PeChecksum(file, *field);
  std::fstream out(exePath, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(*field);
  for (int i = 0; i < 4; ++i) out.put(static_cast<char>(sum >> (8 * i)));
  return out.flush() ? 0 : 1;
}

// One public per code address: a global name before a local one, then the
// first in nm's order.
std::map<Address, TSymbol> FunctionStarts(const std::string& nm, Address codeStart,
                                          Address codeEnd) {
  std::map<Address, TSymbol> byAddress;
  for (TSymbol& s : CodeSymbols(nm)) {
    if (s.address < codeStart || s.address >= codeEnd) continue;
    auto [it, added] = byAddress.try_emplace(s.address, s);
    if (!added && it->second.type == 't' && s.type == 'T') it->second = s;
  }
  return byAddress;
}

// The line table's rows inside the code, by address.
std::vector<TRow> CodeRows(const std::string& lines, Address codeStart, Address codeEnd) {
  std::vector<TRow> rows;
  for (TRow& row : LineRows(lines)) {
    if (row.address >= codeStart && row.address < codeEnd) rows.push_back(std::move(row));
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const TRow& a, const TRow& b) { return a.address < b.address; });
  return rows;
}

int Build(const std::string& exePath, const std::string& nmPath, const std::string& linesPath,
          const std::string& mapPath, const std::string& zelPath) {
  std::string exe, nm, lines;
  if (!ReadFile(exePath, exe) || !ReadFile(nmPath, nm) || !ReadFile(linesPath, lines)) {
    std::cerr << "mkmap: cannot read the inputs\n";
    return 1;
  }
  const BufferImageBytes bytes({reinterpret_cast<const std::uint8_t*>(exe.data()), exe.size()});
  const PeImage image(bytes, ImageLayout::File);
  if (!image.Valid() || image.Is64() || image.Sections().empty()) {
    std::cerr << "mkmap: " << exePath << " is not a 32-bit PE image\n";
    return 1;
  }
  TMapFile ranges;
  std::uint32_t codeLength = 0;
  SetModuleRanges(ranges, image, bytes, static_cast<Address>(image.ImageBase()), &codeLength);
  const Address codeStart = ranges.CodeStart, codeEnd = ranges.CodeEnd;

  const std::map<Address, TSymbol> byAddress = FunctionStarts(nm, codeStart, codeEnd);
  if (byAddress.empty()) {
    std::cerr << "mkmap: no code symbols in " << nmPath << "\n";
    return 1;
  }
  const std::vector<TRow> rows = CodeRows(lines, codeStart, codeEnd);

  // A function's unit is the file of its first line row; rows of other
  // files inside it are code inlined from elsewhere: the line of the
  // function's own file before them stays in force.
  TTextMapSource source;
  source.CodeLength = codeLength;
  for (const PeSection& section : image.Sections()) {
    if (section.name == ".data") {
      source.DataStart = 0;
      source.DataLength = section.virtualSize;
    }
  }
  std::vector<std::pair<Address, TSymbol>> functions(byAddress.begin(), byAddress.end());
  std::size_t r = 0;
  TTextMapSource::Unit* unit = nullptr;
  for (std::size_t f = 0; f < functions.size(); ++f) {
    const Address start = functions[f].first;
    const Address end = f + 1 < functions.size() ? functions[f + 1].first : codeEnd;
    source.Publics.push_back({functions[f].second.name, start - codeStart});
    while (r < rows.size() && rows[r].address < start) ++r;
    const std::size_t first = r;
    while (r < rows.size() && rows[r].address < end) ++r;
    if (first == r) {
      unit = nullptr;
      continue;
    }
    // One file appears under several spellings of its path in the line
    // table; its name tells it apart.
    const std::string name = BaseName(rows[first].file);
    if (!unit || unit->Name != name || unit->Start + unit->Length != start - codeStart) {
      source.Units.push_back({name, start - codeStart, 0, {}});
      unit = &source.Units.back();
    }
    unit->Length = end - codeStart - unit->Start;
    for (std::size_t i = first; i < r; ++i) {
      if (BaseName(rows[i].file) != name) continue;
      const Address offset = rows[i].address - codeStart;
      if (!unit->Lines.empty() && unit->Lines.back().LineAddress == offset) {
        unit->Lines.back().LineNo = rows[i].line;  // the last row at an address holds
      } else {
        unit->Lines.push_back({rows[i].line, offset});
      }
    }
  }
  const Address entry = static_cast<Address>(image.ImageBase()) + image.EntryPointRva();
  if (entry >= codeStart && entry < codeEnd) {
    source.EntryPoint = entry - codeStart;
    source.HasEntryPoint = true;
  }
  const std::string text = WriteTextMap(source);

  TMapFile map = ranges;
  if (!ReadTextMap(text, map)) {
    std::cerr << "mkmap: the text map does not read back\n";
    return 1;
  }
  FinishMap(map);
  if (map.Publics.size() != source.Publics.size()) {
    std::cerr << "mkmap: " << source.Publics.size() - map.Publics.size()
              << " publics lost on reading back\n";
    return 1;
  }
  const std::vector<std::uint8_t> compact =
      WriteCompactMap(map, false, Crc32(text.data(), text.size()), image.TimeDateStamp());
  TMapFile check = ranges;
  if (compact.empty() || !ReadCompactMap(compact, check) ||
      check.Publics.size() != map.Publics.size() || check.Lines.size() != map.Lines.size()) {
    std::cerr << "mkmap: the compact map does not read back\n";
    return 1;
  }
  if (!WriteFile(mapPath, text.data(), text.size()) ||
      !WriteFile(zelPath, compact.data(), compact.size())) {
    std::cerr << "mkmap: cannot write the maps\n";
    return 1;
  }
  return 0;
}

// The Breakpad symbol file, from the same functions and line rows as the
// maps, so that a walker names the frames as the bug report does.
int WriteSymbols(const std::string& exePath, const std::string& nmPath,
                 const std::string& linesPath, const std::string& framesPath,
                 const std::string& root) {
  std::string exe, nm, lines, frames;
  if (!ReadFile(exePath, exe) || !ReadFile(nmPath, nm) || !ReadFile(linesPath, lines) ||
      !ReadFile(framesPath, frames)) {
    std::cerr << "mkmap: cannot read the inputs\n";
    return 1;
  }
  const BufferImageBytes bytes({reinterpret_cast<const std::uint8_t*>(exe.data()), exe.size()});
  const PeImage image(bytes, ImageLayout::File);
  const std::vector<std::uint8_t> record = image.CodeViewRecord();
  mkmap::SymbolModule module;
  module.identifier = mkmap::BreakpadIdentifier(record);
  module.debugFile = mkmap::CodeViewDatabase(record);
  if (!image.Valid() || image.Is64() || module.identifier.empty() || module.debugFile.empty()) {
    std::cerr << "mkmap: " << exePath << " has no CodeView record with a database name\n";
    return 1;
  }
  char codeId[32];
  std::snprintf(codeId, sizeof codeId, "%08X%x", image.TimeDateStamp(), image.ImageSize());
  module.codeId = codeId;
  module.codeFile = BaseName(exePath);
  module.imageBase = static_cast<std::uint32_t>(image.ImageBase());
  TMapFile ranges;
  SetModuleRanges(ranges, image, bytes, static_cast<Address>(image.ImageBase()));
  std::vector<mkmap::SymbolFunction> functions;
  const std::map<Address, TSymbol> starts = FunctionStarts(nm, ranges.CodeStart, ranges.CodeEnd);
  for (auto it = starts.begin(); it != starts.end(); ++it) {
    const auto next = std::next(it);
    functions.push_back(
        {it->first, next == starts.end() ? ranges.CodeEnd : next->first, it->second.name});
  }
  std::vector<mkmap::SymbolRow> rows;
  for (TRow& row : CodeRows(lines, ranges.CodeStart, ranges.CodeEnd))
    rows.push_back({row.address, row.line, std::move(row.file)});
  const std::string text = mkmap::SymbolFileText(module, functions, rows,
                                                 mkmap::StackCfiRecords(frames, module.imageBase));

  namespace fs = std::filesystem;
  const fs::path path = fs::path(root) / mkmap::SymbolFilePath(module.debugFile, module.identifier);
  std::error_code error;
  // Only this link's identifier stays: the build folder holds one build.
  for (const auto& entry : fs::directory_iterator(fs::path(root) / module.debugFile, error)) {
    if (entry.path().filename() != module.identifier) fs::remove_all(entry.path(), error);
  }
  fs::create_directories(path.parent_path(), error);
  const fs::path part = path.string() + ".part";
  if (!WriteFile(part.string(), text.data(), text.size())) {
    std::cerr << "mkmap: cannot write " << part << "\n";
    return 1;
  }
  fs::rename(part, path, error);
  if (error) {
    std::cerr << "mkmap: cannot write " << path << ": " << error.message() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::string(argv[1]) == "--check") return Check(argv[2], argv[3]);
    if (argc == 5 && std::string(argv[1]) == "--calibrate")
      return Calibrate(argv[2], argv[3], argv[4]);
    if (argc == 3 && std::string(argv[1]) == "--checksum") return WriteChecksum(argv[2]);
    if (argc == 7 && std::string(argv[1]) == "--symbols")
      return WriteSymbols(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (argc == 6) return Build(argv[1], argv[2], argv[3], argv[4], argv[5]);
    std::cerr
        << "usage: mkmap EXE NM.txt LINES.txt OUT.map OUT.zel | mkmap --check NM1.txt NM2.txt\n"
           "       mkmap --calibrate EXE NM.txt OUT.bin | mkmap --checksum EXE\n"
           "       mkmap --symbols EXE NM.txt LINES.txt FRAMES.txt ROOT\n";
  } catch (const std::exception& e) {
    std::cerr << "mkmap: " << e.what() << "\n";
  }
  return 1;
}
