// Symbol map readers and lookups on hand-made maps.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/MapRanges.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/TextMap.h"
#include "crash/analysis/zelMapFile.h"
#include "crash/util/ByteOrder.h"
#include "crash/util/Deflate.h"

namespace corvan::crash {
namespace {

constexpr Address kCode = test::kMapCode;

TMapFile Ranges() { return test::MapRanges(0x3000, 0x500000); }

// A small map: two units, three functions, a few lines.
TMapFile Sample() {
  TMapFile map = Ranges();
  map.Segments = {{true, kCode, 0x100, "Alpha.cpp", false},
                  {true, kCode + 0x100, 0x200, "Beta.cpp", false}};
  map.Publics = {
      {true, "alpha()", kCode}, {true, "beta(int)", kCode + 0x100}, {true, "gamma", kCode + 0x180}};
  map.Lines = {
      {10, kCode}, {11, kCode + 8}, {40, kCode + 0x100}, {42, kCode + 0x110}, {60, kCode + 0x180}};
  map.ProgramEntry = kCode + 0x180;
  map.Loaded = true;
  return map;
}

TEST(MapLookup, SegmentsPublicsAndLines) {
  const TMapFile map = Sample();
  ASSERT_NE(SegmentAt(map, true, kCode + 0x1ff), nullptr);
  EXPECT_EQ(SegmentAt(map, true, kCode + 0x1ff)->UnitName, "Beta.cpp");
  EXPECT_EQ(SegmentAt(map, true, kCode + 0x300), nullptr);
  EXPECT_EQ(SegmentAt(map, false, kCode), nullptr);
  EXPECT_EQ(PublicAt(map, kCode - 1), nullptr);
  EXPECT_EQ(PublicAt(map, kCode + 0x17f)->SymbolName, "beta(int)");
  // The last public reaches up to the end of the code and no further.
  EXPECT_EQ(PublicAt(map, kCode + 0x2fff)->SymbolName, "gamma");
  EXPECT_EQ(PublicAt(map, kCode + 0x3000), nullptr);

  Address next = 0;
  EXPECT_EQ(LineAt(map, kCode + 9, &next), 11);
  EXPECT_EQ(next, kCode + 0x100);
  EXPECT_EQ(LineAt(map, kCode + 0x10f, &next), 40);
  EXPECT_EQ(next, kCode + 0x110);
  // Outside every code segment there is no line.
  EXPECT_EQ(LineAt(map, kCode + 0x300), 0);
}

TEST(MapLookup, PublicAddressTriesCppExtensions) {
  const TMapFile map = Sample();
  EXPECT_EQ(PublicAddress(map, true, "Beta.cpp", true, "gamma"), kCode + 0x180);
  EXPECT_EQ(PublicAddress(map, true, "beta", false, "GAMMA"), kCode + 0x180);
  EXPECT_EQ(PublicAddress(map, true, "beta", true, "GAMMA"), 0u);
  EXPECT_EQ(PublicAddress(map, true, "Alpha.cpp", true, "gamma"), 0u);
}

// The name index of a finished map gives what a scan of the publics gives:
// the first public in address order, with or without case.
TEST(MapLookup, PublicAddressIndexAgreesWithScan) {
  TMapFile scanned = Sample();
  scanned.Publics.push_back({true, "GAMMA", kCode + 0x1c0});
  scanned.Publics.push_back({true, "gamma", kCode + 0x10});
  scanned.Publics.push_back({false, "gamma", kCode + 0x20});
  for (int i = 0; i < 2000; ++i)
    scanned.Publics.push_back({true, "f" + std::to_string(i), kCode + 0x200 + Address(i % 0x100)});
  TMapFile indexed = scanned;
  FinishMap(indexed);
  ASSERT_EQ(indexed.PublicsByName.size(), indexed.Publics.size());
  FinishMap(scanned);
  scanned.PublicsByName.clear();
  struct Query {
    const char* unit;
    bool caseSensitive;
    const char* name;
    Address expected;
  };
  for (const Query& q : std::initializer_list<Query>{{"Beta.cpp", true, "gamma", kCode + 0x180},
                                                     {"Beta.cpp", true, "GAMMA", kCode + 0x1c0},
                                                     {"beta", false, "Gamma", kCode + 0x180},
                                                     {"alpha", false, "GAMMA", kCode + 0x10},
                                                     {"Beta.cpp", true, "f1999", kCode + 0x2cf},
                                                     {"Beta.cpp", false, "F7", kCode + 0x207},
                                                     {"Beta.cpp", true, "F7", 0},
                                                     {"Beta.cpp", true, "missing", 0}}) {
    SCOPED_TRACE(std::string(q.unit) + " " + q.name);
    EXPECT_EQ(PublicAddress(indexed, true, q.unit, q.caseSensitive, q.name), q.expected);
    EXPECT_EQ(PublicAddress(scanned, true, q.unit, q.caseSensitive, q.name), q.expected);
  }
  // Data publics are looked up among data segments only.
  EXPECT_EQ(PublicAddress(indexed, false, "alpha", true, "gamma"), 0u);
}

TEST(MapTables, AddPublicCleansNames) {
  TMapFile map = Ranges();
  map.Segments = {{true, kCode, 0x100, "Unit1", false},
                  {true, kCode + 0x100, 0x100, "Forms", false}};
  AddPublic(map, "@$xp$7TObject", kCode, true);  // compiler-made: dropped
  AddPublic(map, "Unit1", kCode + 4, true);
  AddPublic(map, "@Forms@TApplication@Run$qqrv", kCode + 0x100, true);
  AddPublic(map, "@Classes@TList@Add$qqrpv", kCode + 0x120, true);
  AddPublic(map, "_ZN6corvan5crash3FooEi", kCode + 0x140, true);
  AddPublic(map, "someData", 0x500010, false);  // data: dropped by default
  ASSERT_EQ(map.Publics.size(), 4u);
  EXPECT_EQ(map.Publics[0].SymbolName, "initialization");
  EXPECT_EQ(map.Publics[1].SymbolName, "TApplication.Run");
  EXPECT_EQ(map.Publics[2].SymbolName, "Classes.TList.Add");
  EXPECT_EQ(map.Publics[3].SymbolName, "corvan::crash::Foo(int)");
}

TEST(MapTables, UnsortedTablesAreSortedOnce) {
  TMapFile map = Ranges();
  map.Segments = {{true, kCode, 0x100, "A", false}};
  map.Publics = {{true, "b", kCode + 0x20}, {true, "a", kCode}};
  map.Lines = {{5, kCode + 0x10}, {3, kCode}};
  FinishMap(map);
  EXPECT_TRUE(map.Loaded);
  EXPECT_EQ(PublicAt(map, kCode + 0x1f)->SymbolName, "a");
  EXPECT_EQ(LineAt(map, kCode + 0x0f), 3);
  EXPECT_EQ(LineAt(map, kCode + 0x10), 5);
}

TEST(MapTables, MergeJoinsUnitsAndClosesGaps) {
  TMapFile map = Ranges();
  map.Segments = {{true, kCode + 0x40, 0x10, "b", false},
                  {true, kCode, 0x20, "a", false},
                  {true, kCode + 0x20, 0x10, "A", false},
                  {true, kCode + 0x60, 0, "c", false}};
  TMapFile strict = map;
  MergeSegments(strict, true);
  ASSERT_EQ(strict.Segments.size(), 3u);  // a+A joined; the gap before b stays
  EXPECT_EQ(strict.Segments[0].SegLength, 0x30u);
  EXPECT_EQ(strict.Segments[1].SegStart, kCode + 0x40);
  MergeSegments(map, false);
  ASSERT_EQ(map.Segments.size(), 3u);
  EXPECT_EQ(map.Segments[0].SegLength, 0x40u);  // stretched to b
  EXPECT_EQ(map.Segments[1].SegLength, 0x20u);  // b stretched to c
}

// --- compact maps ---

TEST(CompactMap, RoundTripKeepsEverything) {
  const TMapFile map = Sample();
  const auto data = WriteCompactMap(map, false, 0x11223344, 0x55667788);
  TMapFile read = Ranges();
  ASSERT_TRUE(ReadCompactMap(data, read));
  ASSERT_EQ(read.Segments.size(), 2u);
  EXPECT_EQ(read.Segments[1].UnitName, "Beta.cpp");
  ASSERT_EQ(read.Publics.size(), 3u);
  EXPECT_EQ(read.Publics[2].SymbolName, "gamma");
  EXPECT_EQ(read.Publics[2].SymbolAddress, kCode + 0x180);
  ASSERT_EQ(read.Lines.size(), 5u);
  EXPECT_EQ(read.Lines[4].LineNo, 60);
  EXPECT_EQ(read.ProgramEntry, kCode + 0x180);
  EXPECT_EQ(CompactMapIdentification(data).size(), 31u);
  EXPECT_EQ(CompactMapIdentification(data).substr(9), ", $11223344, $55667788");
}

TEST(CompactMap, LargeDeltasAndLongNames) {
  TMapFile map = Ranges();
  map.CodeEnd = kCode + 0x100000;
  map.Segments = {{true, kCode, 0x100000, "u.cpp", false}};
  map.Publics = {{true, std::string(300, 'x'), kCode}, {true, "far", kCode + 0x90000}};
  map.Lines = {{1, kCode}, {100000, kCode + 0x90000}, {2, kCode + 0x90001}};
  TMapFile read = Ranges();
  ASSERT_TRUE(ReadCompactMap(WriteCompactMap(map, false, 0, 0), read));
  EXPECT_EQ(read.Publics[0].SymbolName.size(), 255u);
  EXPECT_EQ(read.Publics[1].SymbolAddress, kCode + 0x90000);
  EXPECT_EQ(read.Lines[1].LineNo, 100000);
  EXPECT_EQ(read.Lines[2].LineNo, 2);
}

TEST(CompactMap, MinimalFormHasPlaceholders) {
  TMapFile map = Sample();
  map.Segments[1].HasLines = true;
  TMapFile read = Ranges();
  ASSERT_TRUE(ReadCompactMap(WriteCompactMap(map, true, 1, 2), read));
  EXPECT_EQ(PublicAt(read, kCode + 0x101)->SymbolName, "public%1");
  EXPECT_EQ(SegmentAt(read, true, kCode + 0x101)->UnitName, "segment%1");
  EXPECT_EQ(LineAt(read, kCode + 0x101), -1);  // lines exist, only the full map names them
  EXPECT_EQ(LineAt(read, kCode + 1), 0);
}

std::vector<std::uint8_t> Container(std::span<const std::uint8_t> stream,
                                    std::uint32_t declared = 0) {
  const auto block = CompressBlock(stream);
  std::vector<std::uint8_t> out(kCompactMapTag, kCompactMapTag + 14);
  AppendLe32(out, declared ? declared : static_cast<std::uint32_t>(block.size()));
  AppendLe32(out, 3);
  AppendLe32(out, 0);
  AppendLe32(out, 0);
  AppendLe32(out, 0);
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

TEST(CompactMap, RejectsDamage) {
  const auto good = WriteCompactMap(Sample(), false, 0, 0);
  TMapFile read = Ranges();
  auto bad = good;
  bad[0] = 'X';  // tag
  EXPECT_FALSE(ReadCompactMap(bad, read));
  bad = good;
  bad[18] = 4;  // version
  EXPECT_FALSE(ReadCompactMap(bad, read));
  bad = good;
  bad.pop_back();  // declared payload longer than the data
  EXPECT_FALSE(ReadCompactMap(bad, read));
  bad = good;
  bad[34 + 8] ^= 1;  // CRC of the block
  EXPECT_FALSE(ReadCompactMap(bad, read));
  EXPECT_FALSE(ReadCompactMap(std::span(good).first(22), read));
  EXPECT_TRUE(read.Publics.empty());

  // Counts larger than the stream can hold.
  std::vector<std::uint8_t> stream;
  AppendLe32(stream, 0x10000000);
  EXPECT_FALSE(ReadCompactMap(Container(stream), read));
  stream.clear();
  AppendLe32(stream, 0);
  AppendLe32(stream, 3);
  stream.insert(stream.end(), {5, 'a', 'b'});  // name longer than what is left
  EXPECT_FALSE(ReadCompactMap(Container(stream), read));
  stream.clear();
  AppendLe32(stream, 0);
  AppendLe32(stream, 0);
  AppendLe32(stream, 0xFFFFFFFF);  // negative line count
  EXPECT_FALSE(ReadCompactMap(Container(stream), read));
  EXPECT_TRUE(read.Publics.empty());
  EXPECT_FALSE(read.Loaded);
}

// --- text maps ---

// The detailed-map layout, as a linker writes it (two code sections, the
// data segment 3, a parenthesised suffix after a name).
constexpr const char* kDetailedMap =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00401000 000012A0H .text                   CODE\r\n"
    " 0002:00403000 00000010H .itext                  ICODE\r\n"
    " 0003:00404000 00000200H .data                   DATA\r\n"
    "\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
    " 0001:00000100 000011A0 C=CODE     S=.text    G=(none)   M=C:\\src\\Unit1.pas ACBP=A9\r\n"
    " 0002:00000000 00000010 C=ICODE    S=.itext   G=(none)   M=Unit1    ACBP=A9\r\n"
    " 0003:00000000 00000200 C=DATA     S=.data    G=DGROUP   M=Unit1    ACBP=A9\r\n"
    " 0001:00000000 short line\r\n"
    "\r\n"
    "  Address             Publics by Value\r\n"
    "\r\n"
    " 0001:00000000       System.@Halt0\r\n"
    " 0001:00000100       Unit1.TForm1.Button1Click (x)\r\n"
    " 0002:00000000       Unit1.Finalize\r\n"
    " 0003:00000010       Unit1.SomeVariable\r\n"
    " 0005:00000000       Beyond\r\n"
    "\r\n"
    "\r\n"
    "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .text\r\n"
    "\r\n"
    "    39 0001:00000100    42 0001:0000010B    41 0001:00000108\r\n"
    "    50 0001:00000104    51 0001:00000120\r\n"
    "\r\n"
    "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .itext\r\n"
    "\r\n"
    "    90 0002:00000000\r\n"
    "\r\n"
    "Program entry point at 0001:00000100\r\n";

TEST(TextMap, DetailedLayout) {
  TMapFile map = Ranges();
  ASSERT_TRUE(ReadTextMap(kDetailedMap, map));
  FinishMap(map);
  // Code: segment 1 and segment 2 (placed after the code, length 0x2000).
  ASSERT_EQ(map.Segments.size(), 4u);
  EXPECT_EQ(SegmentAt(map, true, kCode + 0x150)->UnitName, "Unit1");
  EXPECT_EQ(SegmentAt(map, true, kCode + 0x2000)->UnitName, "Unit1");
  EXPECT_EQ(SegmentAt(map, false, 0x500000)->UnitName, "Unit1");
  // Publics: unit prefix removed (data segment above 2), the suffix cut,
  // the data public dropped, the one of an unknown segment refused.
  ASSERT_EQ(map.Publics.size(), 3u);
  EXPECT_EQ(map.Publics[0].SymbolName, "@Halt0");
  EXPECT_EQ(map.Publics[1].SymbolName, "TForm1.Button1Click");
  EXPECT_EQ(map.Publics[2].SymbolAddress, kCode + 0x2000);
  EXPECT_EQ(PublicAddress(map, true, "System", false, "@Halt0"), kCode);
  // Lines: within the first line pairs go as they are, later ones must
  // climb; segment 2 follows the code.
  std::vector<std::pair<int, Address>> lines;
  for (const TMfLine& l : map.Lines) lines.emplace_back(l.LineNo, l.LineAddress - kCode);
  EXPECT_EQ(lines, (std::vector<std::pair<int, Address>>{
                       {39, 0x100}, {41, 0x108}, {42, 0x10B}, {51, 0x120}, {90, 0x2000}}));
  EXPECT_EQ(map.ProgramEntry, kCode + 0x100);
}

TEST(TextMap, WriterAndReaderAgree) {
  TTextMapSource source;
  source.CodeLength = 0x3000;
  source.Units = {{"main.cpp", 0, 0x40, {{5, 0}, {6, 4}, {9, 0x20}}},
                  {"x.c", 0x40, 0x20, {{1, 0x40}}}};
  source.Publics = {{"_Z4mainv", 0}, {"_ZN1a1bEv", 0x20}, {"helper", 0x40}};
  source.EntryPoint = 0x40;
  source.HasEntryPoint = true;
  TMapFile map = Ranges();
  ASSERT_TRUE(ReadTextMap(WriteTextMap(source), map));
  FinishMap(map);
  ASSERT_EQ(map.Publics.size(), 3u);
  EXPECT_EQ(map.Publics[0].SymbolName, "main()");
  EXPECT_EQ(map.Publics[1].SymbolName, "a::b()");
  EXPECT_EQ(SegmentAt(map, true, kCode + 0x41)->UnitName, "x.c");
  EXPECT_EQ(PublicAddress(map, true, "x", true, "helper"), kCode + 0x40);
  EXPECT_EQ(LineAt(map, kCode + 0x1f), 6);
  EXPECT_EQ(map.Lines.size(), 4u);
  EXPECT_EQ(map.ProgramEntry, kCode + 0x40);
}

}  // namespace
}  // namespace corvan::crash
