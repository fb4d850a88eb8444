#include <gtest/gtest.h>

#include "crash/core/SettingsSource.h"

namespace corvan::crash {
namespace {

TEST(SettingsSource, ReadsValuesOfEveryKind) {
  const auto source = ParseSettingsSource(
      "# comment\r\n"
      "\n"
      "Enabled = true\r\n"
      "  NoSettings=false  \n"
      "FreezeTimeout = 60000\n"
      "AutoRestart = -3\n"
      "BitFaultMsg = \"The file \\\"%modname%\\\" is # not a comment\"\n"
      "MailAddr = \"\"\n"
      "MailBody = \"a\\r\\nb\\t\\\\\\x41\"");
  ASSERT_TRUE(source.errors.empty()) << source.errors[0].message;
  const std::vector<Setting> expected = {
      Setting::Bool("Enabled", true),
      Setting::Bool("NoSettings", false),
      Setting::Int("FreezeTimeout", 60000),
      Setting::Int("AutoRestart", -3),
      Setting::Str("BitFaultMsg", "The file \"%modname%\" is # not a comment"),
      Setting::Str("MailAddr", ""),
      Setting::Str("MailBody", "a\r\nb\t\\A")};
  EXPECT_EQ(source.settings, expected);
}

TEST(SettingsSource, ReportsEveryBadLineWithItsNumber) {
  const auto source = ParseSettingsSource(
      "Enabled true\n"    // 1: no "="
      "Bad Name = 1\n"    // 2
      "A = maybe\n"       // 3
      "B = \"open\n"      // 4
      "C = \"a\"b\"\n"    // 5
      "D = \"\\q\"\n"     // 6
      "E = \"\\x4\"\n"    // 7
      "F = 4294967296\n"  // 8: does not fit 32 bits
      "G = 12\n");        // fine
  ASSERT_EQ(source.errors.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(source.errors[i].line, i + 1);
  ASSERT_EQ(source.settings.size(), 1u);
  EXPECT_EQ(source.settings[0], Setting::Int("G", 12));
}

TEST(SettingsSource, CheckAgainstDefaultsCatchesTyposAndWrongKinds) {
  const auto problems = CheckSettingsAgainstDefaults(
      {Setting::Bool("Enabled", true), Setting::Int("Enabled", 1), Setting::Bool("Enabeld", true),
       Setting::Str("FreezeTimeout", "60"), Setting::Str("Assistant1", "A|B"),
       Setting::Int("Assistant2", 1), Setting::Str("MinDebugInfo", "x")});
  const std::vector<std::string> expected = {
      "Enabled is set twice", "Enabled must be boolean, not integer",
      "Enabeld is not a setting of the reporter", "FreezeTimeout must be integer, not string",
      "Assistant2 must be a string"};
  EXPECT_EQ(problems, expected);
}

TEST(SettingsSource, NamedValuesAreOneOfTheirNames) {
  EXPECT_TRUE(CheckSettingsAgainstDefaults({Setting::Bool("MiniDump", true),
                                            Setting::Str("MiniDumpKind", "with data segments")})
                  .empty());
  EXPECT_TRUE(CheckSettingsAgainstDefaults(
                  {Setting::Str("MiniDumpKind", " Normal "), Setting::Str("SmtpTls", "STARTTLS")})
                  .empty());
  EXPECT_EQ(CheckSettingsAgainstDefaults({Setting::Str("SmtpTls", "tls")}),
            std::vector<std::string>{
                "SmtpTls must be \"auto\", \"starttls\", \"implicit\" or \"off\", not \"tls\""});
  const std::vector<std::string> expected = {
      "MiniDumpKind must be \"normal\" or \"with data segments\", not \"full\"",
      "MiniDumpKind is set twice", "MiniDumpKind must be string, not integer"};
  EXPECT_EQ(CheckSettingsAgainstDefaults(
                {Setting::Str("MiniDumpKind", "full"), Setting::Int("MiniDumpKind", 1)}),
            expected);
}

}  // namespace
}  // namespace corvan::crash
