#include <gtest/gtest.h>

#include <cstring>

#include "crash/core/DefaultSettings.h"
#include "crash/core/SettingsStream.h"

namespace corvan::crash {
namespace {

using End = SettingsStreamContent::End;

std::vector<std::uint8_t> Header() {
  return WriteSettingsStream({});  // header plus the terminating zero
}

std::vector<std::uint8_t> WithRecords(std::initializer_list<std::vector<std::uint8_t>> records) {
  auto out = Header();
  out.pop_back();
  for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
  out.push_back(0);
  return out;
}

std::vector<std::uint8_t> Record(const std::string& name, std::vector<std::uint8_t> tagAndValue) {
  std::vector<std::uint8_t> r;
  r.push_back(static_cast<std::uint8_t>(name.size()));
  for (char c : name) r.push_back(static_cast<std::uint8_t>(c));
  for (std::uint8_t b : tagAndValue) r.push_back(b);
  return r;
}

TEST(SettingsStream, WriterProducesTheExactLayout) {
  const auto bytes = WriteSettingsStream({Setting::Bool("On", true), Setting::Int("N", -2),
                                          Setting::Str("S", "ab"), Setting::Str("E", ""),
                                          Setting::Bool("Off", false)});
  const std::vector<std::uint8_t> expected = {
      'T', 'P', 'F',  '0',  10,   'T',  'Z', 'e', 'l', 'E', 'x', 'c', 'e', 'p', 't',
      9,   'z', 'e',  'l',  'E',  'x',  'c', 'e', 'p', 't', 2,   'O', 'n', 9,   1,
      'N', 4,   0xFE, 0xFF, 0xFF, 0xFF, 1,   'S', 12,  2,   0,   0,   0,   'a', 'b',
      1,   'E', 12,   0,    0,    0,    0,   3,   'O', 'f', 'f', 8,   0};
  EXPECT_EQ(bytes, expected);
}

TEST(SettingsStream, RoundTripKeepsEveryValue) {
  std::vector<Setting> settings;
  for (const DefaultSetting& d : DefaultSettingsTable()) {
    Setting s;
    s.name = d.name;
    s.type = d.type;
    s.boolValue = d.type == SettingType::Boolean && d.value;
    s.intValue = d.type == SettingType::Integer ? d.value : 0;
    s.strValue = d.text;
    settings.push_back(s);
  }
  settings.push_back(Setting::Int("Min", INT32_MIN));
  settings.push_back(Setting::Str(std::string(255, 'n'), std::string(70000, 'x')));
  const auto bytes = WriteSettingsStream(settings);
  const auto parsed = ParseSettingsStream(bytes.data(), bytes.size());
  EXPECT_EQ(parsed.end, End::Complete);
  EXPECT_EQ(parsed.settings, settings);
  EXPECT_THROW(WriteSettingsStream({Setting::Bool(std::string(256, 'n'), true)}),
               std::invalid_argument);
}

TEST(SettingsStream, EveryHeaderByteMatters) {
  const auto good = WriteSettingsStream({Setting::Bool("Enabled", true)});
  for (std::size_t i = 0; i < 25; ++i) {
    auto bad = good;
    bad[i] ^= 0x20;
    const auto parsed = ParseSettingsStream(bad.data(), bad.size());
    EXPECT_EQ(parsed.end, End::BadHeader) << "byte " << i;
    EXPECT_TRUE(parsed.settings.empty());
    EXPECT_FALSE(parsed.Invalid());
  }
  EXPECT_EQ(ParseSettingsStream(good.data(), 24).end, End::BadHeader);
  EXPECT_EQ(ParseSettingsStream(nullptr, 0).end, End::BadHeader);
}

TEST(SettingsStream, ReadsEveryTag) {
  const auto bytes = WithRecords({
      Record("I8", {2, 0xFF}), Record("I16", {3, 0x00, 0x80}),
      Record("I32", {4, 0x78, 0x56, 0x34, 0x12}), Record("Short", {6, 3, 'a', 'b', 'c'}),
      Record("False", {8}), Record("True", {9}), Record("Long", {12, 1, 0, 0, 0, 'z'}),
      Record("Wide", {18, 3, 0, 0, 0, 'H', 0, 0xE9, 0, 0x42, 0x26}),  // "Hé☂"
  });
  const auto parsed = ParseSettingsStream(bytes.data(), bytes.size());
  ASSERT_EQ(parsed.end, End::Complete);
  const std::vector<Setting> expected = {
      Setting::Int("I8", -1),       Setting::Int("I16", -32768),   Setting::Int("I32", 0x12345678),
      Setting::Str("Short", "abc"), Setting::Bool("False", false), Setting::Bool("True", true),
      Setting::Str("Long", "z"),    Setting::Str("Wide", "H\xE9?")};
  EXPECT_EQ(parsed.settings, expected);
}

TEST(SettingsStream, WideStringsGoThroughTheConverter) {
  const auto bytes = WithRecords({Record("W", {18, 1, 0, 0, 0, 0x42, 0x26})});
  const auto parsed = ParseSettingsStream(bytes.data(), bytes.size(), [](std::u16string_view t) {
    return std::string("converted:") + std::to_string(t.size());
  });
  ASSERT_EQ(parsed.settings.size(), 1u);
  EXPECT_EQ(parsed.settings[0].strValue, "converted:1");
}

TEST(SettingsStream, UnknownTagKeepsTheRecordsBeforeIt) {
  std::vector<Setting> good;
  for (int i = 0; i < 10; ++i) good.push_back(Setting::Int("P" + std::to_string(i), i));
  auto bytes = WriteSettingsStream(good);
  bytes.pop_back();
  const auto bad = Record("Bad", {7, 1, 2, 3, 4});
  bytes.insert(bytes.end(), bad.begin(), bad.end());
  bytes.push_back(0);
  const auto parsed = ParseSettingsStream(bytes.data(), bytes.size());
  EXPECT_EQ(parsed.end, End::InvalidTag);
  EXPECT_TRUE(parsed.Invalid());
  EXPECT_EQ(parsed.tag, 7);
  EXPECT_EQ(parsed.settings, good);
  EXPECT_EQ(InvalidSettingsResourceText(parsed.tag),
            "Internal error: Invalid settings resource ($7).");
  EXPECT_EQ(InvalidSettingsResourceText(0xAB), "Internal error: Invalid settings resource ($ab).");
}

// A record that does not fit ends the stream without reading past it; the
// buffer is copied to an exact-size heap block so ASan sees any overread.
TEST(SettingsStream, EveryCutKeepsTheCompleteRecordsAndReadsNothingBeyond) {
  const std::vector<Setting> settings = {Setting::Int("A", 1), Setting::Str("B", "text"),
                                         Setting::Bool("C", true)};
  const auto full = WriteSettingsStream(settings);
  const std::size_t recordEnds[] = {25 + 7, 25 + 7 + 11, 25 + 7 + 11 + 3};
  for (std::size_t cut = 25; cut < full.size(); ++cut) {
    std::vector<std::uint8_t> part(full.begin(), full.begin() + cut);
    auto parsed = ParseSettingsStream(part.data(), part.size());
    EXPECT_EQ(parsed.end, End::Truncated) << cut;
    std::size_t complete = 0;
    while (complete < 3 && recordEnds[complete] <= cut) ++complete;
    EXPECT_EQ(parsed.settings.size(), complete) << cut;
  }
}

TEST(SettingsStream, HugeLengthsAreTruncationNotReads) {
  for (const auto& record :
       {Record("L", {12, 0xFF, 0xFF, 0xFF, 0xFF, 'x'}),
        Record("W", {18, 0xFF, 0xFF, 0xFF, 0x7F, 'x', 0}),
        Record("W", {18, 0x00, 0x00, 0x00, 0x80, 'x', 0}), Record("S", {6, 200, 'x'})}) {
    const auto bytes = WithRecords({Record("Ok", {9}), record});
    const auto parsed = ParseSettingsStream(bytes.data(), bytes.size());
    EXPECT_EQ(parsed.end, End::Truncated);
    EXPECT_EQ(parsed.settings.size(), 1u);
  }
}

TEST(DefaultSettings, TableHasUniqueKeys) {
  const auto table = DefaultSettingsTable();
  EXPECT_EQ(table.size(), 131u);
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(FindDefaultSetting(table[i].name), &table[i]) << table[i].name;
  }
  EXPECT_EQ(FindDefaultSetting("FreezeTimeout")->value, 60);
  // Unsent reports are kept only where a program's settings ask for it.
  EXPECT_EQ(FindDefaultSetting("KeepUnsent")->value, 0);
  EXPECT_EQ(FindDefaultSetting("UnsentMaxReports")->value, 10);
  EXPECT_EQ(FindDefaultSetting("UnsentMaxMB")->value, 20);
  EXPECT_EQ(std::string(FindDefaultSetting("BitFaultMsg")->text),
            "The file \"%modname%\" seems to be corrupt!");
  EXPECT_EQ(FindDefaultSetting("enabled"), nullptr);  // names are case-sensitive
  EXPECT_EQ(FindDefaultSetting("Assistant1"), nullptr);
  EXPECT_TRUE(IsExtraSettingKey("Assistant1"));
  EXPECT_TRUE(IsExtraSettingKey("Assistant12"));
  EXPECT_TRUE(IsExtraSettingKey("MinDebugInfo"));
  EXPECT_FALSE(IsExtraSettingKey("Assistant"));
  EXPECT_FALSE(IsExtraSettingKey("Assistant0"));
  EXPECT_FALSE(IsExtraSettingKey("AssistantX"));
}

}  // namespace
}  // namespace corvan::crash
