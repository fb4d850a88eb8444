// The order in which a module's symbol sources are tried, over a module
// made of files built here: each source names its one function after
// itself, so the map tells which source it came from.
#include "crash/analysis/MapSources.h"

#include <gtest/gtest.h>

#include <map>

#include "crash/analysis/CompactMap.h"
#include "crash/analysis/JdbgBuilder.h"
#include "crash/analysis/MapTables.h"
#include "crash/analysis/PeBuilder.h"
#include "crash/analysis/Td32Builder.h"
#include "crash/analysis/TextMap.h"

namespace corvan::crash {
namespace {

constexpr Address kCode = 0x401000;

TMapFile Ranges() {
  TMapFile map;
  map.CodeStart = kCode;
  map.CodeEnd = kCode + 0x1000;
  map.DataStart = 0x480000;
  map.DataEnd = 0x481000;
  return map;
}

std::string Text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<std::uint8_t> CompactMapNaming(const std::string& name, bool minimal = false) {
  TMapFile map = Ranges();
  map.Segments = {{true, kCode, 0x100, "Unit1", true}};
  map.Publics = {{true, name, kCode + 0x10}};
  map.Lines = {{7, kCode + 0x10}};
  return WriteCompactMap(map, minimal, 0x1234, 0x5678);
}

std::string TextMapNaming(const std::string& name) {
  TTextMapSource source;
  source.CodeLength = 0x1000;
  source.DataLength = 0x100;
  source.Units = {{"Unit1.cpp", 0, 0x100, {{7, 0x10}}}};
  source.Publics = {{name, 0x10}};
  return WriteTextMap(source);
}

std::string Td32Naming(const std::string& name) {
  test::TTd32Builder b;
  b.Names({"Unit1.pas", name});
  b.Module(1, {{1, 0, 0x100}});
  b.Symbols(kTd32GlobalPublics, {{0x205, 0x10, 2}});
  return Text(b.Build());
}

std::string JdbgNaming(const std::string& name) {
  test::TJdbgBuilder b;
  b.Unit(0, "Unit1");
  b.Symbol(0x10, b.Word(name), 0);
  return Text(b.Build());
}

struct TFakeModule final : TMapSources {
  std::vector<std::uint8_t> embedded;
  std::string imageTd32;  // empty: the image names none
  struct TFile {
    std::string bytes;
    std::uint64_t days = 100;
  };
  std::map<std::string, TFile> files;  // by extension
  std::string setting;
  mutable std::vector<std::string> read;  // extensions read, in order

  std::span<const std::uint8_t> EmbeddedMap() const override { return embedded; }
  bool ImageTd32(std::string& data) const override {
    data = imageTd32;
    return !imageTd32.empty();
  }
  bool ReadSibling(const std::string& extension, std::string& bytes) const override {
    auto it = files.find(extension);
    if (it == files.end()) return false;
    read.push_back(extension);
    bytes = it->second.bytes;
    return true;
  }
  bool SiblingDays(const std::string& extension, std::uint64_t& days) const override {
    auto it = files.find(extension);
    if (it == files.end()) return false;
    days = it->second.days;
    return true;
  }
  std::string MinDebugInfoSetting() const override { return setting; }
};

// The name of the function at kCode + 0x10, or "-" without a map.
std::string Loaded(const TFakeModule& module, bool singleCodeSection = true,
                   TMapFile* out = nullptr) {
  TMapFile map = Ranges();
  LoadMapFromSources(module, singleCodeSection, map);
  const TMfPublic* pub = map.Loaded ? PublicAt(map, kCode + 0x10) : nullptr;
  if (out) *out = map;
  return pub ? pub->SymbolName : "-";
}

TEST(MapSources, EachSourceInItsTurn) {
  TFakeModule m;
  m.files[".jdbg"] = {JdbgNaming("FromJdbg")};
  EXPECT_EQ(Loaded(m), "FromJdbg");
  m.files[".zel"] = {Text(CompactMapNaming("FromZel"))};
  EXPECT_EQ(Loaded(m), "FromZel");
  m.files[".map"] = {TextMapNaming("FromMap")};
  EXPECT_EQ(Loaded(m), "FromMap");
  m.files[".tds"] = {Td32Naming("FromTds"), 100};
  EXPECT_EQ(Loaded(m), "FromTds");
  EXPECT_EQ(Loaded(m, false), "FromMap");  // two code sections: no TD32
  m.imageTd32 = Td32Naming("FromImage");
  EXPECT_EQ(Loaded(m), "FromImage");
  m.embedded = CompactMapNaming("FromResource");
  EXPECT_EQ(Loaded(m), "FromResource");
  TFakeModule none;
  EXPECT_EQ(Loaded(none), "-");
}

TEST(MapSources, ATdsFileADayOlderThanTheMapIsIgnored) {
  TFakeModule m;
  m.files[".map"] = {TextMapNaming("FromMap"), 101};
  m.files[".tds"] = {Td32Naming("FromTds"), 100};
  EXPECT_EQ(Loaded(m), "FromMap");
  m.files[".tds"].days = 101;  // the same day, an hour older, still counts
  EXPECT_EQ(Loaded(m), "FromTds");
}

TEST(MapSources, TdsThatIsAnImage) {
  TFakeModule m;
  const std::string td32 = Td32Naming("FromTdsImage");
  test::PeBuilder pe;
  const std::uint32_t entry = pe.Reserve(28);
  const std::uint32_t blob = pe.Add(td32.data(), td32.size());
  pe.Put32(entry + 12, 9);
  pe.Put32(entry + 16, static_cast<std::uint32_t>(td32.size()));
  pe.Put32(entry + 24, test::PeBuilder::kSectionRaw + (blob - test::PeBuilder::kSectionRva));
  pe.directories[6] = {entry, 28};
  m.files[".tds"] = {Text(pe.Build(ImageLayout::File))};
  EXPECT_EQ(Loaded(m), "FromTdsImage");
}

// TD32 data named by the image is the only TD32 source: when it is
// damaged, no ".tds" is read, the files after TD32 are.
TEST(MapSources, DamagedImageTd32SkipsTheTdsFile) {
  TFakeModule m;
  m.imageTd32 = "FB09\xff\xff\xff\xff";
  m.files[".tds"] = {Td32Naming("FromTds")};
  m.files[".map"] = {TextMapNaming("FromMap")};
  EXPECT_EQ(Loaded(m), "FromMap");
  EXPECT_EQ(m.read, (std::vector<std::string>{".map"}));
}

TEST(MapSources, EmbeddedMapWithAWrongCrcGivesWayToTheFiles) {
  TFakeModule m;
  m.embedded = CompactMapNaming("FromResource");
  m.embedded[34 + 8] ^= 0xFF;  // the CRC of the compressed block
  m.files[".map"] = {TextMapNaming("FromMap")};
  EXPECT_EQ(Loaded(m), "FromMap");
}

TEST(MapSources, MinimalMapAndTheFullMapItStandsFor) {
  TFakeModule m;
  m.embedded = CompactMapNaming("Hidden", true);
  const std::vector<std::uint8_t> full = CompactMapNaming("FromFullZel");
  m.files[".zel"] = {Text(full)};
  m.files[".map"] = {TextMapNaming("FromMap")};
  TMapFile map;

  // The setting names the full map: it is used, and no map file is read.
  m.setting = CompactMapIdentification(full);
  EXPECT_EQ(m.setting.size(), 31u);
  EXPECT_EQ(Loaded(m, true, &map), "FromFullZel");
  EXPECT_TRUE(map.MinDebugInfo.empty());

  // Another full map: the minimal one, which reports the setting.
  m.setting = "$00001000, $00001234, $00005678";
  EXPECT_EQ(Loaded(m, true, &map), "public%0");
  EXPECT_EQ(map.MinDebugInfo, m.setting);
  EXPECT_EQ(LineAt(map, kCode + 0x10), -1);  // the unit has lines only the full map knows

  // No setting known: the minimal map names itself.
  m.setting.clear();
  EXPECT_EQ(Loaded(m, true, &map), "public%0");
  EXPECT_EQ(map.MinDebugInfo, CompactMapIdentification(m.embedded));
  for (const std::string& extension : m.read) EXPECT_EQ(extension, ".zel");
}

}  // namespace
}  // namespace corvan::crash
