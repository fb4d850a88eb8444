#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crash/core/ExceptionHistory.h"
#include "crash/core/ReportText.h"
#include "crash/util/Crc32.h"

namespace corvan::crash {
namespace {

TEST(RenderReport, PadsNamesToTheLongestAndListsSections) {
  const FieldPairs header = {{"date/time", "2026-12-09, 11:43:00, 5ms"},
                             {"exception message", "Division by zero."},
                             {"process id", "$1f4"}};
  const FieldPairs sections = {
      {"main thread ($20)", "0040100a +0a corvan.exe main 12 +2 Foo\r\n\r\n  indented  \t"},
      {"cpu registers:", "eax = 00000001"}};
  EXPECT_EQ(RenderReport(header, sections),
            "date/time         : 2026-12-09, 11:43:00, 5ms\r\n"
            "exception message : Division by zero.\r\n"
            "process id        : $1f4\r\n"
            "\r\n"
            "main thread ($20):\r\n"
            "0040100a +0a corvan.exe main 12 +2 Foo\r\n"
            ".\r\n"
            "  indented\r\n"
            "\r\n"
            "cpu registers:\r\n"
            "eax = 00000001");
}

TEST(RenderReport, ValuesBecomeOneLineAndLoneBreaksSplitContent) {
  EXPECT_EQ(RenderReport({{"a", "one\r\ntwo\rthree\nfour   five"}}, {}),
            "a : one two three four five");
  EXPECT_EQ(RenderReport({}, {{"s", "x\ry\n\nz"}}), "\r\ns:\r\nx\r\ny\r\n.\r\nz");
  EXPECT_EQ(RenderReport({}, {{"s", ""}}), "\r\ns:\r\n.");
}

TEST(ExceptionMessage, EndsInExactlyOneFullStop) {
  EXPECT_EQ(NormaliseExceptionMessage("Boom!!"), "Boom.");
  EXPECT_EQ(NormaliseExceptionMessage("Wait..."), "Wait.");
  EXPECT_EQ(NormaliseExceptionMessage("  a\tb\x01 c  "), "ab c.");
  EXPECT_EQ(NormaliseExceptionMessage("line\r\nbreak"), "line\r\nbreak.");
  EXPECT_EQ(NormaliseExceptionMessage(""), "Unknown.");
  EXPECT_EQ(NormaliseExceptionMessage("!."), ".");
}

TEST(ReportTimes, Formats) {
  EXPECT_EQ(ReportDateTimeText({2026, 1, 2, 3, 4, 5, 7}), "2026-01-02, 03:04:05, 7ms");
  EXPECT_EQ(ReportDateTimeText({2026, 12, 31, 23, 59, 59, 999}), "2026-12-31, 23:59:59, 999ms");
  EXPECT_EQ(FileDateTimeText({2026, 1, 2, 3, 4, 5, 7}), "2026-01-02 03:04");
}

TEST(CpuRegisters, NineLinesOfEightDigits) {
  CpuRegisters r;
  r.eax = 1;
  r.ebx = 0xdeadbeef;
  r.eip = 0x401000;
  r.ebp = 0xffffffff;
  EXPECT_EQ(CpuRegistersText(r),
            "eax = 00000001\r\nebx = deadbeef\r\necx = 00000000\r\nedx = 00000000\r\n"
            "esi = 00000000\r\nedi = 00000000\r\neip = 00401000\r\nesp = 00000000\r\n"
            "ebp = ffffffff");
}

TEST(StackDump, SixteenBytesALineAndAShortLastLine) {
  std::vector<std::uint8_t> bytes(20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0x30 + i);
  bytes[1] = 0x20;  // blank shows as "."
  bytes[2] = 0x7f;
  EXPECT_EQ(StackDumpText(0x0012ff00, bytes.data(), bytes.size()),
            "0012ff00  30 20 7f 33 34 35 36 37 - 38 39 3a 3b 3c 3d 3e 3f  0..3456789:;<=>?\r\n"
            "0012ff10  40 41 42 43                                        @ABC");
}

TEST(StackDump, AtMostTwentyLines) {
  std::vector<std::uint8_t> bytes(1000, 0x41);
  const std::string text = StackDumpText(0, bytes.data(), bytes.size());
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 20u);
  EXPECT_EQ(text.substr(text.rfind('\n') + 1, 10), "00000130  ");
  EXPECT_EQ(StackDumpText(0, bytes.data(), 0), "");
}

TEST(CallstackCrc, TextAndStep) {
  EXPECT_EQ(CallstackCrcText(0x1234abcd, 0, 0xffffffff), "$1234abcd, $00000000, $ffffffff");
  // The table step over four zero bytes keeps a zero register.
  EXPECT_EQ(CallstackCrcStep(0, 0), 0u);
  // Bytes fed least significant first, no inversion.
  const std::uint8_t bytes[] = {1, 2, 3, 4};
  EXPECT_EQ(CallstackCrcStep(0x11111111, 0x04030201), Crc32Update(0x11111111, bytes, 4));
  // Outside truth: zlib's CRC-32 of "\x01\x02\x03\x04" is 0xb63cfbcd.
  EXPECT_EQ(~CallstackCrcStep(0xffffffff, 0x04030201), 0xb63cfbcdu);
}

FaultFacts Code(std::uint32_t code) {
  FaultFacts fault;
  fault.code = code;
  return fault;
}

TEST(FaultMessage, RuntimeTexts) {
  FaultFacts av{0xC0000005, 0x401a2b, "corvan.exe", true, 0};
  EXPECT_EQ(FaultMessage(av),
            "Access violation at address $401a2b in module 'corvan.exe'. Write of address $0");
  av.write = false;
  av.dataAddress = 0x10;
  EXPECT_EQ(FaultMessage(av),
            "Access violation at address $401a2b in module 'corvan.exe'. Read of address $10");
  av.moduleName.clear();
  EXPECT_EQ(FaultMessage(av), "Access Violation");
  EXPECT_EQ(FaultMessage(Code(0xC0000094)), "Division by zero");
  EXPECT_EQ(FaultMessage(Code(0xC00000FD)), "Stack overflow");
  EXPECT_EQ(FaultMessage(Code(0xC0000092)), "Invalid floating point operation");
  EXPECT_EQ(FaultMessage(Code(0xC000001D)), "External exception C000001D");
}

TEST(ClassFilter, MatchesClassOrAncestorExactly) {
  const std::vector<std::string> chain = {"EDBEditError", "Exception"};
  EXPECT_TRUE(ClassListMatches("EDBEditError", chain));
  EXPECT_TRUE(ClassListMatches(" EFoo ,, Exception ", chain));
  EXPECT_FALSE(ClassListMatches("edbediterror", chain));
  EXPECT_FALSE(ClassListMatches("", chain));
  EXPECT_FALSE(ClassListMatches("EDBEditError", {}));
}

TEST(AutoRule, TenExceptionsWithinTheWindow) {
  ExceptionHistory history;
  EXPECT_FALSE(CheckAutoRule(0, history, 100));
  EXPECT_TRUE(CheckAutoRule(1, history, 100));
  for (int i = 0; i < 9; ++i) history.Add(1000 + i);
  EXPECT_FALSE(CheckAutoRule(60, history, 1009));  // the ninth does not count
  history.Add(1009);
  EXPECT_TRUE(CheckAutoRule(60, history, 1009));
  EXPECT_TRUE(CheckAutoRule(9, history, 1009));
  EXPECT_FALSE(CheckAutoRule(8, history, 1009));
  EXPECT_EQ(history.Entries()[0], 1009);
  EXPECT_EQ(history.Entries()[9], 1000);
  history.Add(2000);
  EXPECT_EQ(history.Entries()[9], 1001);
}

}  // namespace
}  // namespace corvan::crash
