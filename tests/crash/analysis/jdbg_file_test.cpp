// The ".jdbg" reader on files written here in the JCL binary debug
// format, and on damaged variants of them.
#include "crash/analysis/JdbgFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crash/analysis/JdbgBuilder.h"
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

test::TJdbgBuilder Sample() {
  test::TJdbgBuilder b;
  b.Unit(0x000, "C:\\src\\Unit1.pas");
  b.Unit(0x200, "Forms");
  const std::uint32_t form = b.Word("TForm1"), click = b.Word("Button1Click");
  const std::uint32_t unitName = b.Word("Forms"), run = b.Word("TApplication"),
                      runName = b.Word("Run_2");
  b.Symbol(0x010, form, click);
  b.Symbol(0x100, b.Word("Init\xAAx", true), 0);
  b.Symbol(0x180, b.Word("@Unit1@Helper$qqrv"), 0);
  b.Symbol(0x1C0, b.Word("@Halt0"), 0);  // the packed "@" form
  b.Symbol(0x210, unitName, run);        // "Forms.TApplication" in unit Forms
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
  test::TJdbgBuilder b;
  b.Unit(0, "Unit1");
  b.units.insert(b.units.begin(), {0x80, 0x80, 0x80, 0x80, 0x80});  // a sixth group follows
  TMapFile map = Ranges();
  EXPECT_FALSE(ReadJdbg(b.Build(), map));

  // Five groups whose last one carries bits beyond 32.
  test::TJdbgBuilder c;
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
  test::TJdbgBuilder b;
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
