// The bug report file's rules on its bytes: collapsing repeated faults at
// each duplicate depth, trimming from the front at a report boundary, and
// reading and writing single header values.
#include "crash/core/BugReportFile.h"

#include <gtest/gtest.h>

#include <string>

namespace corvan::crash {
namespace {

struct Fault {
  std::string crc = "$11111111, $22222222, $33333333";
  std::string exeClass = "EAccessViolation";
  std::string version = "1.0.0.0";
  std::string message = "Access violation.";
  bool freeze = false;
};

// A report in the report's own layout: colons aligned, the sections after
// an empty line.
std::string Report(const Fault& f, const std::string& when = "2026-12-09, 12:00:00, 0ms") {
  std::string r = "date/time          : " + when + "\r\n";
  r += "executable         : corvan.exe\r\n";
  r += "current module     : corvan.exe\r\n";
  if (!f.version.empty()) r += "version            : " + f.version + "\r\n";
  r += "exec. date/time    : 2026-12-01 10:00\r\n";
  r += "callstack crc      : " + f.crc + "\r\n";
  if (!f.freeze) r += "exception class    : " + f.exeClass + "\r\n";
  r += "exception message  : " + f.message + "\r\n";
  r += "\r\nmain thread ($24):\r\n00401a2b +1b corvan.exe Unit1 42 +3 TForm1.Button1Click";
  return r;
}

constexpr char kStart[] = "date/time          :";  // one per report

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(BugReportFile, SameFaultFiveTimesLeavesOneReportCountingFive) {
  std::string file;
  const BugReportFileRules rules;
  Fault other;
  other.crc = "$99999999, $22222222, $33333333";
  file = AppendReport(file, Report(Fault{}, "first"), rules);
  file = AppendReport(file, Report(other, "other"), rules);
  for (int i = 2; i <= 5; ++i)
    file = AppendReport(file, Report(Fault{}, "time " + std::to_string(i)), rules);
  EXPECT_EQ(Count(file, kStart), 2);
  EXPECT_EQ(Count(file, "count              : 5\r\n"), 1);
  // In the place of the newest, after the other fault.
  EXPECT_LT(file.find("other"), file.find("time 5"));
  EXPECT_EQ(file.find("time 4"), std::string::npos);
  EXPECT_EQ(ExtractHeaderValue(file.substr(file.find("date/time          : time 5") - 2), "count"),
            "5");
  EXPECT_EQ(file.substr(file.size() - 4), "\r\n\r\n");
  // The count line follows the checksums, colons aligned.
  EXPECT_NE(
      file.find(
          "callstack crc      : $11111111, $22222222, $33333333\r\ncount              : 5\r\n"),
      std::string::npos);
}

TEST(BugReportFile, DuplicateDepthDecidesHowManyChecksumsMustMatch) {
  Fault a, b;
  b.crc = "$11111111, $aaaaaaaa, $bbbbbbbb";  // same first checksum only
  BugReportFileRules rules;
  for (int depth : {0, 1, 2}) {
    rules.duplicateDepth = depth;
    const std::string file = AppendReport(AppendReport("", Report(a), rules), Report(b), rules);
    EXPECT_EQ(Count(file, kStart), depth == 0 ? 1 : 2) << depth;
  }
  Fault c;
  c.crc = "$11111111, $22222222, $cccccccc";  // first two match
  for (int depth : {0, 1, 2}) {
    rules.duplicateDepth = depth;
    const std::string file = AppendReport(AppendReport("", Report(a), rules), Report(c), rules);
    EXPECT_EQ(Count(file, kStart), depth == 2 ? 2 : 1) << depth;
  }
}

TEST(BugReportFile, OnlyTheSameProgramBuildCollapses) {
  const BugReportFileRules rules;
  Fault newer;
  newer.version = "1.0.0.1";
  EXPECT_EQ(
      Count(AppendReport(AppendReport("", Report(Fault{}), rules), Report(newer), rules), kStart),
      2);
  Fault otherClass;
  otherClass.exeClass = "EZeroDivide";
  EXPECT_EQ(Count(AppendReport(AppendReport("", Report(Fault{}), rules), Report(otherClass), rules),
                  kStart),
            2);
  BugReportFileRules keepAll;
  keepAll.noDuplicates = false;
  EXPECT_EQ(
      Count(AppendReport(AppendReport("", Report(Fault{}), keepAll), Report(Fault{}), keepAll),
            kStart),
      2);
  // An incomplete checksum never collapses.
  Fault partial;
  partial.crc = "$11111111";
  EXPECT_EQ(
      Count(AppendReport(AppendReport("", Report(partial), rules), Report(partial), rules), kStart),
      2);
}

TEST(BugReportFile, TrimsAtTheFirstReportStartThatLeavesLessThanThreeQuarters) {
  std::string file;
  BugReportFileRules none;
  none.noDuplicates = false;
  int reports = 0;
  while (file.size() < 120000) {
    Fault f;
    f.message = std::string(300, 'x') + std::to_string(reports++);
    file = AppendReport(file, Report(f), none);
  }
  BugReportFileRules rules = none;
  rules.sizeLimit = 100000;
  Fault last;
  last.message = "the newest";
  const std::string trimmed = AppendReport(file, Report(last), rules);
  EXPECT_EQ(trimmed.rfind("date/time", 0), 0u);  // begins with a whole report
  const std::size_t newest =
      trimmed.find("date/time          : 2026-12-09, 12:00:00, 0ms\r\nexecutable", 0);
  EXPECT_EQ(newest, 0u);
  const std::size_t kept = trimmed.size() - Report(last).size() - 4;
  EXPECT_LT(kept, 75000u);
  // The report before the cut would have made it 75000 or more.
  const std::size_t previousStart = file.rfind("\r\ndate/time", file.size() - kept - 3);
  ASSERT_NE(previousStart, std::string::npos);
  EXPECT_GE(file.size() - previousStart, 75000u);
  EXPECT_EQ(trimmed.substr(0, kept), file.substr(file.size() - kept));
}

TEST(BugReportFile, ASingleLargeReportIsNotCutAndASmallFileIsLeftAlone) {
  BugReportFileRules rules;
  rules.sizeLimit = 1000;
  Fault big;
  big.message = std::string(2000, 'y');
  const std::string once = AppendReport("", Report(big), rules);
  Fault next;
  next.crc = "$44444444, $55555555, $66666666";
  const std::string twice = AppendReport(once, Report(next), rules);
  EXPECT_EQ(twice.substr(0, once.size()), once);
  rules.sizeLimit = 100000;
  EXPECT_EQ(AppendReport(once, Report(next), rules), twice);
}

TEST(BugReportFile, FreezeReportsCollapseByTheirOwnSettings) {
  Fault freeze;
  freeze.freeze = true;
  BugReportFileRules rules;  // as chosen for reports without a class
  rules.duplicateDepth = 2;
  const std::string file =
      AppendReport(AppendReport("", Report(freeze), rules), Report(freeze), rules);
  EXPECT_EQ(Count(file, kStart), 1);
  EXPECT_EQ(ExtractHeaderValue(file, "count"), "2");
}

TEST(BugReportFile, WithoutAppendingTheFileHoldsTheNewReportOnly) {
  BugReportFileRules rules;
  rules.append = false;
  EXPECT_EQ(AppendReport(Report(Fault{}), "date/time : x", rules), "date/time : x\r\n\r\n");
}

TEST(BugReportHeader, ValuesAreReadAndInsertedByName) {
  const std::string r = Report(Fault{});
  EXPECT_EQ(ExtractHeaderValue(r, "exception class"), "EAccessViolation");
  EXPECT_EQ(ExtractHeaderValue(r, "exception"), "");  // only the beginning of a longer name
  EXPECT_EQ(ExtractHeaderValue(r, kStart), "");       // the first line cannot be read this way
  EXPECT_EQ(ExtractHeaderValue(r, "missing"), "");
  const std::string withCount = AddHeaderValue(r, "count", "callstack crc", "7");
  EXPECT_EQ(ExtractHeaderValue(withCount, "count"), "7");
  EXPECT_EQ(AddHeaderValue(r, "count", "missing", "7"), r);
}

}  // namespace
}  // namespace corvan::crash
