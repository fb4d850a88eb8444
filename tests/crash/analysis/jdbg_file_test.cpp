// The ".jdbg" reader on files written here in the JCL binary debug
// format, and on damaged variants of them.
#include "crash/analysis/JdbgFile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "crash/util/ByteOrder.h"

namespace corvan::crash {
namespace {

constexpr Address kCode = 0x401000;

TMapFile Ranges() {
  TMapFile map;
  map.CodeStart = kCode;
  map.CodeEnd = kCode + 0x1000;
  return map;
}

void Varint(std::vector<std::uint8_t>& out, std::uint32_t v) {
  do {
    std::uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out.push_back(b);
  } while (v);
}

unsigned PackedValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 1);
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 11);
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 37);
  return 63;
}

// A name in the 6-bit packed form (with the "@" form when it starts so),
// or in the XOR form when asked or when it holds a character the packed
// alphabet lacks.
std::vector<std::uint8_t> EncodeName(const std::string& name, bool xored) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    xored |= !(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (c == '@' && i == 0));
  }
  if (xored) {
    out.push_back(1);
    for (char c : name) {
      const auto b = static_cast<std::uint8_t>(c);
      out.push_back(b == 0xAA ? b : static_cast<std::uint8_t>(b ^ 0xAA));
    }
    out.push_back(0);
    return out;
  }
  std::string text = name;
  if (!text.empty() && text[0] == '@') {
    out.push_back(2);
    text.erase(0, 1);
  }
  std::uint32_t bits = 0;
  int have = 0;
  auto put = [&](unsigned v) {
    bits |= v << have;
    have += 6;
    while (have >= 8) {
      out.push_back(static_cast<std::uint8_t>(bits));
      bits >>= 8;
      have -= 8;
    }
  };
  for (char c : text) put(PackedValue(c));
  put(0);
  if (have > 0) out.push_back(static_cast<std::uint8_t>(bits));
  return out;
}

struct TJdbgBuilder {
  std::vector<std::uint8_t> words{0};  // offset 0: no name
  std::vector<std::uint8_t> units, symbols, lines;
  std::int64_t unitAddress = 0, unitName = 0;
  std::int64_t symAddress = 0, symName = 0, symSecond = 0;
  std::int64_t lineAddress = 0, lineNo = 0;

  std::uint32_t Word(const std::string& name, bool xored = false) {
    const auto at = static_cast<std::uint32_t>(words.size());
    const std::vector<std::uint8_t> bytes = EncodeName(name, xored);
    words.insert(words.end(), bytes.begin(), bytes.end());
    return at;
  }
  static void Delta(std::vector<std::uint8_t>& out, std::int64_t& last, std::int64_t value) {
    Varint(out, static_cast<std::uint32_t>(value - last));
    last = value;
  }
  void Unit(std::uint32_t offset, const std::string& name) {
    Delta(units, unitAddress, offset);
    Delta(units, unitName, Word(name));
  }
  void Symbol(std::uint32_t offset, std::uint32_t first, std::uint32_t second) {
    Delta(symbols, symAddress, offset);
    Delta(symbols, symName, first);
    Delta(symbols, symSecond, second);
  }
  void Line(std::uint32_t offset, std::int32_t line) {
    Delta(lines, lineAddress, offset);
    Delta(lines, lineNo, line);
  }

  std::vector<std::uint8_t> Build(bool checksum = true) const {
    std::vector<std::uint8_t> out(kJdbgHeaderSize, 0);
    std::memcpy(out.data(), "JDBG", 4);
    out[4] = 1;
    auto table = [&](std::size_t field, const std::vector<std::uint8_t>& t) {
      PutLe32(out.data() + field, static_cast<std::uint32_t>(out.size()));
      out.insert(out.end(), t.begin(), t.end());
      Varint(out, static_cast<std::uint32_t>(kJdbgTableEnd));
    };
    table(5, units);
    table(9, {});
    table(13, symbols);
    table(17, lines);
    PutLe32(out.data() + 21, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), words.begin(), words.end());
    while (out.size() % 4) out.push_back(0);
    if (checksum) {
      // The dword sum with the checksum field zero (and its flag set).
      out[33] = 1;
      std::uint32_t sum = 0;
      for (std::size_t at = 0; at < out.size(); at += 4) sum += ReadLe32(out.data() + at);
      PutLe32(out.data() + 29, sum);
    }
    return out;
  }
};

TJdbgBuilder Sample() {
  TJdbgBuilder b;
  b.Unit(0x000, "C:\\src\\Unit1.pas");
  b.Unit(0x200, "Forms");
  const std::uint32_t form = b.Word("TForm1"), click = b.Word("Button1Click");
  const std::uint32_t unitName = b.Word("Forms"), run = b.Word("TApplication"),
                      runName = b.Word("Run_2");
  b.Symbol(0x010, form, click);
  b.Symbol(0x100, b.Word("Init\xAAx", true), 0);
  b.Symbol(0x180, b.Word("@Unit1@Helper$qqrv"), 0);
  b.Symbol(0x1C0, b.Word("@Halt0"), 0);  // the packed "@" form
  b.Symbol(0x210, unitName, run);  // "Forms.TApplication" in unit Forms
  b.Symbol(0x300, run, runName);
  b.Line(0x010, 39);
  b.Line(0x01B, 42);
  b.Line(0x210, 1230);
  b.Line(0x214, 1228);  // lines may go down
  return b;
}

TEST(Jdbg, UnitsSymbolsAndLines) {
  TMapFile map = Ranges();
  ASSERT_TRUE(ReadJdbg(Sample().Build(), map));
  ASSERT_EQ(map.Segments.size(), 2u);
  EXPECT_EQ(map.Segments[0].UnitName, "Unit1");  // no path, no extension
  EXPECT_EQ(map.Segments[0].SegLength, 0x200u);
  EXPECT_EQ(map.Segments[1].UnitName, "Forms");
  EXPECT_EQ(map.Segments[1].SegStart + map.Segments[1].SegLength, map.CodeEnd);

  EXPECT_EQ(PublicAt(map, kCode + 0x20)->SymbolName, "TForm1.Button1Click");
  EXPECT_EQ(PublicAt(map, kCode + 0x100)->SymbolName, "Init\xAAx");
  EXPECT_EQ(PublicAt(map, kCode + 0x180)->SymbolName, "Helper");
  EXPECT_NE(PublicAt(map, kCode + 0x1C0)->SymbolName.find("Halt0"), std::string::npos);
  EXPECT_EQ(PublicAt(map, kCode + 0x210)->SymbolName, "TApplication");  // unit prefix gone
  EXPECT_EQ(PublicAt(map, kCode + 0x300)->SymbolName, "TApplication.Run_2");
  EXPECT_EQ(PublicAt(map, kCode + 0xFFF)->SymbolName, "TApplication.Run_2");

  Address next = 0;
  EXPECT_EQ(LineAt(map, kCode + 0x12, &next), 39);
  EXPECT_EQ(next, kCode + 0x1B);
  EXPECT_EQ(LineAt(map, kCode + 0x215), 1228);
}

TEST(Jdbg, ChecksumAndShapeAreChecked) {
  std::vector<std::uint8_t> data = Sample().Build();
  TMapFile map = Ranges();
  EXPECT_TRUE(ReadJdbg(Sample().Build(false), map));  // no checksum to check

  std::vector<std::uint8_t> changed = data;
  changed.back() ^= 1;
  TMapFile a = Ranges();
  EXPECT_FALSE(ReadJdbg(changed, a));
  EXPECT_FALSE(a.Loaded);

  std::vector<std::uint8_t> odd = data;
  odd.push_back(0);
  TMapFile b = Ranges();
  EXPECT_FALSE(ReadJdbg(odd, b));

  std::vector<std::uint8_t> version = Sample().Build(false);
  version[4] = 2;
  TMapFile c = Ranges();
  EXPECT_FALSE(ReadJdbg(version, c));
}

TEST(Jdbg, AVarintOfSixGroupsIsDamage) {
  TJdbgBuilder b;
  b.Unit(0, "Unit1");
  b.units.insert(b.units.begin(), {0x80, 0x80, 0x80, 0x80, 0x80});  // a sixth group follows
  TMapFile map = Ranges();
  EXPECT_FALSE(ReadJdbg(b.Build(), map));

  // Five groups whose last one carries bits beyond 32.
  TJdbgBuilder c;
  c.units = {0xFF, 0xFF, 0xFF, 0xFF, 0x1F, 0};
  TMapFile other = Ranges();
  EXPECT_FALSE(ReadJdbg(c.Build(), other));
}

TEST(Jdbg, OffsetsOutsideTheFile) {
  std::vector<std::uint8_t> data = Sample().Build(false);
  PutLe32(data.data() + 13, static_cast<std::uint32_t>(data.size()));  // symbol table
  TMapFile map = Ranges();
  EXPECT_FALSE(ReadJdbg(data, map));

  // A name offset far beyond the name area gives no name, and the symbol
  // is dropped.
  TJdbgBuilder b;
  b.Unit(0, "Unit1");
  b.Symbol(0x10, 0x7FFFFFF0, 0);
  b.Symbol(0x20, b.Word("Kept"), 0);
  TMapFile names = Ranges();
  ASSERT_TRUE(ReadJdbg(b.Build(), names));
  ASSERT_EQ(names.Publics.size(), 1u);
  EXPECT_EQ(names.Publics[0].SymbolName, "Kept");
}

TEST(Jdbg, EveryTruncationIsSafe) {
  const std::vector<std::uint8_t> data = Sample().Build(false);
  for (std::size_t n = 0; n < data.size(); ++n) {
    TMapFile map = Ranges();
    ReadJdbg({data.data(), n}, map);  // never reads past n (ASan)
  }
}

}  // namespace
}  // namespace corvan::crash
