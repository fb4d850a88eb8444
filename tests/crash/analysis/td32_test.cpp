// The TD32 reader on data built here the way the Borland linker lays it
// out, and on damaged variants of it.
#include "crash/analysis/Td32.h"

#include <gtest/gtest.h>

#include "crash/analysis/PeBuilder.h"
#include "crash/analysis/Td32Builder.h"
#include "crash/util/ByteOrder.h"

namespace corvan::crash {
namespace {

constexpr Address kCode = 0x401000;
constexpr Address kData = 0x480000;

TMapFile Ranges() {
  TMapFile map;
  map.CodeStart = kCode;
  map.CodeEnd = kCode + 0x1000;
  map.DataStart = kData;
  map.DataEnd = kData + 0x1000;
  return map;
}

// Two units in one code section, a data segment, lines of the first unit,
// and publics of both kinds.
test::TTd32Builder Sample(std::uint16_t symbolSubsection = kTd32GlobalPublics) {
  test::TTd32Builder b;
  b.Names({"C:\\src\\Unit1.pas", "Main", "Helper", "@Unit1@Helper$qqrv", "Counter", "Unit1.pas"});
  b.Module(1, {{1, 0x000, 0x80}, {0, 0x10, 0x20}, {0, 0x40, 0x10}});
  b.Module(2, {{1, 0x080, 0x100}});
  b.Lines(6, {{0x00, 10}, {0x08, 11}, {0x20, 14}}, 0x00, 0x7F);
  b.Symbols(symbolSubsection,
            {{0x205, 0x00, 2}, {0x204, 0x20, 4}, {0x202, 0x10, 5}, {0x20, 0x80, 3}});
  return b;
}

TEST(Td32, UnitsLinesAndPublics) {
  TMapFile map = Ranges();
  map.CodeSymbolsOnly = false;
  ASSERT_TRUE(ReadTd32(Sample().Build(), map));
  const TMfSegment* seg = SegmentAt(map, true, kCode + 0x30);
  ASSERT_TRUE(seg);
  EXPECT_EQ(seg->UnitName, "Unit1");  // without path and extension
  ASSERT_TRUE(SegmentAt(map, true, kCode + 0x90));
  EXPECT_EQ(SegmentAt(map, true, kCode + 0x90)->UnitName, "Main");
  // The unit's first data segment only.
  EXPECT_TRUE(SegmentAt(map, false, kData + 0x18));
  EXPECT_FALSE(SegmentAt(map, false, kData + 0x44));

  ASSERT_TRUE(PublicAt(map, kCode + 4));
  EXPECT_EQ(PublicAt(map, kCode + 4)->SymbolName, "Main");
  EXPECT_EQ(PublicAt(map, kCode + 0x24)->SymbolName, "Helper");  // unmangled
  EXPECT_EQ(PublicAt(map, kCode + 0x84)->SymbolName, "Helper");
  bool data = false;
  for (const TMfPublic& pub : map.Publics) data |= !pub.IsCode && pub.SymbolName == "Counter";
  EXPECT_TRUE(data);

  Address next = 0;
  EXPECT_EQ(LineAt(map, kCode + 0x0A, &next), 11);
  EXPECT_EQ(next, kCode + 0x20);
  EXPECT_EQ(LineAt(map, kCode + 0x30), 14);
}

TEST(Td32, GlobalSymbolsWhenThereAreNoPublics) {
  TMapFile map = Ranges();
  ASSERT_TRUE(ReadTd32(Sample(kTd32GlobalSymbols).Build(), map));
  ASSERT_TRUE(PublicAt(map, kCode + 4));
  EXPECT_EQ(PublicAt(map, kCode + 4)->SymbolName, "Main");
  for (const TMfPublic& pub : map.Publics) EXPECT_TRUE(pub.IsCode);  // code symbols only
}

// A public beyond every segment opens a segment of its unit qualification.
TEST(Td32, PublicOutsideTheSegmentsOpensItsUnit) {
  test::TTd32Builder b;
  b.Names({"Unit1.pas", "@Other@Far$qqrv"});
  b.Module(1, {{1, 0x000, 0x40}});
  b.Symbols(kTd32GlobalPublics, {{0x205, 0x200, 2}});
  TMapFile map = Ranges();
  ASSERT_TRUE(ReadTd32(b.Build(), map));
  const TMfSegment* seg = SegmentAt(map, true, kCode + 0x200);
  ASSERT_TRUE(seg);
  EXPECT_EQ(seg->UnitName, "Other");
  EXPECT_EQ(PublicAt(map, kCode + 0x200)->SymbolName, "Far");
}

TEST(Td32, DirectoryChainEndsAtARepeatOrOutsideTheData) {
  std::size_t dir = 0;
  std::vector<std::uint8_t> looped = Sample().Build(0, &dir);
  PutLe32(looped.data() + dir + 8, static_cast<std::uint32_t>(dir));  // names itself as next
  TMapFile map = Ranges();
  ASSERT_TRUE(ReadTd32(looped, map));
  EXPECT_EQ(PublicAt(map, kCode + 4)->SymbolName, "Main");
  // Read once, not twice: a repeated directory is not read again.
  std::size_t mains = 0;
  for (const TMfPublic& pub : map.Publics) mains += pub.SymbolName == "Main";
  EXPECT_EQ(mains, 1u);

  TMapFile outside = Ranges();
  EXPECT_TRUE(ReadTd32(Sample().Build(0x7FFFFFF0), outside));
}

TEST(Td32, EntriesOutsideTheDataAreSkipped) {
  std::size_t dir = 0;
  std::vector<std::uint8_t> data = Sample().Build(0, &dir);
  // The names subsection claims more bytes than there are; the count of
  // entries claims more entries than fit.
  PutLe32(data.data() + dir + 16 + 8, 0x10000000);
  TMapFile map = Ranges();
  ReadTd32(data, map);
  for (const TMfPublic& pub : map.Publics) EXPECT_FALSE(pub.SymbolName.empty());
  PutLe32(data.data() + dir + 4, 0x40000000);
  TMapFile none = Ranges();
  EXPECT_FALSE(ReadTd32(data, none));
}

TEST(Td32, EveryTruncationIsSafe) {
  const std::vector<std::uint8_t> data = Sample().Build();
  for (std::size_t n = 0; n < data.size(); ++n) {
    TMapFile map = Ranges();
    ReadTd32({data.data(), n}, map);  // never reads past n (ASan)
  }
  TMapFile wrong = Ranges();
  std::vector<std::uint8_t> signature = data;
  signature[3] = '8';
  EXPECT_FALSE(ReadTd32(signature, wrong));
}

TEST(Td32, DataNamedByTheImageDebugDirectory) {
  const std::vector<std::uint8_t> td32 = Sample().Build();
  test::PeBuilder pe;
  const std::uint32_t entry = pe.Reserve(28 * 2);
  const std::uint32_t blob = pe.Add(td32.data(), td32.size());
  // A first entry of another kind, then the TD32 one.
  const std::uint32_t raw = test::PeBuilder::kSectionRaw + (blob - test::PeBuilder::kSectionRva);
  pe.Put32(entry + 12, 2);
  pe.Put32(entry + 16, 8);
  pe.Put32(entry + 24, raw + 4);
  pe.Put32(entry + 28 + 12, 9);
  pe.Put32(entry + 28 + 16, static_cast<std::uint32_t>(td32.size()));
  pe.Put32(entry + 28 + 24, raw);
  pe.directories[6] = {entry, 56};
  const std::vector<std::uint8_t> file = pe.Build(ImageLayout::File);
  const std::span<const std::uint8_t> found = Td32DataInImage(file);
  ASSERT_EQ(found.size(), td32.size());
  EXPECT_TRUE(std::equal(found.begin(), found.end(), td32.begin()));

  pe.directories[6] = {};
  EXPECT_TRUE(Td32DataInImage(pe.Build(ImageLayout::File)).empty());
}

}  // namespace
}  // namespace corvan::crash
