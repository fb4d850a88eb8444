// The map embedded in corvan.exe against addr2line on its debug file (the
// DWARF the build moves out of the shipped program): every function start
// and a sample of addresses inside functions must give the function and
// line that binutils read from the DWARF information.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/PeImage.h"

namespace corvan::crash {
namespace {

std::string Program() {
  const char* path = std::getenv("CORVAN_MAPPED_EXE");
  return path ? path : CORVAN_DEFAULT_MAPPED_EXE;
}

struct TTruth {
  std::string Function;
  std::string File;
  int Line = 0;
};

// addr2line -a -f -i answers each address with a line "0x<address>" and
// then its inline chain, innermost first, as pairs of lines: the function
// and file:line. The line table's line is the first pair's; the function
// that really holds the address (the symbol's) is the last pair's.
std::vector<TTruth> Addr2Line(const std::string& debug, const std::vector<Address>& addresses) {
  const std::string input = testing::TempDir() + "/addresses.txt";
  {
    std::ofstream out(input);
    for (Address a : addresses) out << std::hex << "0x" << a << "\n";
  }
  const std::string command =
      "i686-w64-mingw32-addr2line -a -f -i -e '" + debug + "' < '" + input + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::vector<TTruth> truths;
  if (!pipe) return truths;
  auto readLine = [&](std::string& line) {
    char buffer[8192];
    if (!std::fgets(buffer, sizeof buffer, pipe)) return false;
    line = buffer;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return true;
  };
  std::string line, where;
  bool pending = readLine(line);
  while (pending && line.starts_with("0x")) {
    TTruth truth;
    bool first = true;
    while ((pending = readLine(line)) && !line.starts_with("0x")) {
      if (!readLine(where)) break;
      truth.Function = line;  // the last pair's wins
      if (!first) continue;
      first = false;
      const std::size_t discriminator = where.find(" (discriminator");
      if (discriminator != std::string::npos) where.erase(discriminator);
      const std::size_t colon = where.rfind(':');
      truth.File = where.substr(0, colon);
      truth.Line = std::atoi(where.c_str() + colon + 1);
    }
    truths.push_back(truth);
  }
  pclose(pipe);
  return truths;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name without its parameter list (the parenthesised part that ends
// it, " const" and the like after it included).
std::string WithoutParameters(std::string name) {
  const std::size_t close = name.rfind(')');
  if (close == std::string::npos) return name;
  int depth = 0;
  for (std::size_t i = close + 1; i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) {
      if (i > 0) name.erase(i);
      break;
    }
  }
  return name;
}

// addr2line on a PE file drops one leading underscore of every name, the
// one COFF adds and the one a name of its own begins with alike, and then
// does not recognise C++ linkage names. Its answer is the linkage name
// (demangled here) or the plain DWARF name; the map's name must be that
// name, or a qualified name that ends in it.
// The plain DWARF name spells templates and calling conventions its own way
// ("const T&" for "T const&") and names a lambda just "operator()", and
// the map cuts long names: the last component of the name, without template
// arguments and parameters, must then agree.
std::string LastComponent(std::string name) {
  for (std::size_t at; (at = name.find("(anonymous namespace)")) != std::string::npos;)
    name.replace(at, 21, "{anonymous}");
  std::string plain;
  int depth = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    // "operator<" and friends are names, not template brackets.
    if (name.compare(i, 9, "operator<") == 0 || name.compare(i, 9, "operator>") == 0) {
      if (depth == 0) plain.append(name, i, 9);
      i += 8;
      continue;
    }
    if (c == '<')
      ++depth;
    else if (c == '>' && depth > 0)
      --depth;
    else if (depth == 0)
      plain += c;
  }
  if (!plain.ends_with("operator()")) plain = WithoutParameters(plain);
  const std::size_t open = plain.find('(', plain.starts_with("operator()") ? 10 : 0);
  if (open != std::string::npos && plain.find(')', open) == std::string::npos) plain.erase(open);
  const std::size_t colons = plain.rfind("::");
  if (colons != std::string::npos) plain.erase(0, colons + 2);
  const std::size_t blank = plain.rfind(' ');
  if (blank != std::string::npos && !plain.starts_with("operator")) plain.erase(0, blank + 1);
  return plain;
}

bool SameFunction(const std::string& map, const std::string& addr2line) {
  std::string expected = addr2line;
  const std::size_t at = expected.rfind('@');  // stdcall's "@bytes"
  if (at != std::string::npos && at > 0 &&
      expected.find_first_not_of("0123456789", at + 1) == std::string::npos) {
    expected.erase(at);
  }
  if (expected.starts_with("_Z")) {
    int status = 0;
    char* text = abi::__cxa_demangle(expected.c_str(), nullptr, nullptr, &status);
    if (status == 0 && text) expected = text;
    std::free(text);
  }
  const std::string last = LastComponent(expected);
  if (!last.empty() && LastComponent(map) == last) return true;
  // The map cuts long names; a cut name can only be checked against a full one.
  if (map.size() >= 255)
    return expected.find("::") == std::string::npos || expected.starts_with(map);
  expected = WithoutParameters(expected);
  const std::string got = WithoutParameters(map);
  if (got == expected) return true;
  for (const std::string& e : {expected, "_" + expected}) {
    if (got.size() >= e.size() && got.compare(got.size() - e.size(), e.size(), e) == 0) return true;
  }
  return false;
}

TEST(MapAgainstAddr2line, FunctionsAndLinesOfCorvanExe) {
  const std::string exe = Program();
  if (!std::filesystem::exists(exe)) GTEST_SKIP() << exe << " not built";
  std::ifstream in(exe, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  const BufferImageBytes image_bytes(bytes);
  const PeImage image(image_bytes, ImageLayout::File);
  ASSERT_TRUE(image.Valid());
  const auto resource = image.FindResourceEntry(std::string("ZEL"), std::string("EXCEPT"));
  ASSERT_TRUE(resource.has_value()) << "corvan.exe carries no EXCEPT map";
  const auto offset = image.RvaToOffset(resource->rva);
  ASSERT_TRUE(offset && *offset + resource->size <= bytes.size());
  TMapFile map;
  SetModuleRanges(map, image, image_bytes, static_cast<Address>(image.ImageBase()));
  ASSERT_TRUE(ReadCompactMap(std::span(bytes).subspan(*offset, resource->size), map));
  FinishMap(map);
  ASSERT_GT(map.Publics.size(), 500u);

  // Every function start, and 3000 addresses inside functions.
  std::vector<Address> addresses;
  for (const TMfPublic& pub : map.Publics) addresses.push_back(pub.SymbolAddress);
  const std::size_t starts = addresses.size();
  std::mt19937 random(12);
  std::uniform_int_distribution<Address> pick(map.CodeStart, map.CodeEnd - 1);
  for (int i = 0; i < 3000; ++i) addresses.push_back(pick(random));
  const std::string debug = exe.substr(0, exe.rfind('.')) + ".debug";
  ASSERT_TRUE(std::filesystem::exists(debug)) << debug << " not written beside " << exe;
  const std::vector<TTruth> truths = Addr2Line(debug, addresses);
  ASSERT_EQ(truths.size(), addresses.size());

  std::size_t nameChecks = 0, nameMisses = 0, lineChecks = 0, lineMisses = 0;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const TTruth& truth = truths[i];
    if (truth.Function == "??" || truth.Line == 0) continue;  // no DWARF here
    const Address a = addresses[i];
    const TMfSegment* seg = SegmentAt(map, true, a);
    // Only where the line table names the function's own file: code
    // inlined from another file keeps the line of the function's own code.
    if (!seg || seg->UnitName != BaseName(truth.File)) continue;
    const TMfPublic* pub = PublicAt(map, a);
    if (i < starts) {
      ++nameChecks;
      if (!pub || !SameFunction(pub->SymbolName, truth.Function)) {
        if (++nameMisses < 10)
          std::printf("%x: map %s, addr2line %s\n", a, pub ? pub->SymbolName.c_str() : "-",
                      truth.Function.c_str());
      }
    }
    const int line = LineAt(map, a);
    ++lineChecks;
    if (line != truth.Line && ++lineMisses < 10) {
      std::printf("%x: map line %d, addr2line %s:%d\n", a, line, truth.File.c_str(), truth.Line);
    }
  }
  std::printf("function starts: %zu checked, %zu differ; lines: %zu checked, %zu differ\n",
              nameChecks, nameMisses, lineChecks, lineMisses);
  // The few names left differ by aliases (one body under two names, as
  // identical code folded by the compiler).
  EXPECT_LE(nameMisses * 100, nameChecks * 2);
  EXPECT_EQ(lineMisses, 0u);
}

}  // namespace
}  // namespace corvan::crash
