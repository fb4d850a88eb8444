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

// Short reports in the layout of the report text.
std::string ShortReport(const std::string& crc, const std::string& version = "1.0",
                        const std::string& body = "x") {
  return "date/time         : 2026-12-09, 11:00:00, 1ms\r\n"
         "executable        : corvan.exe\r\n"
         "version           : " +
         version +
         "\r\n"
         "callstack crc     : " +
         crc +
         "\r\n"
         "exception class   : EAccessViolation\r\n"
         "exception message : boom.\r\n"
         "\r\n"
         "main thread ($1):\r\n" +
         body;
}

const std::string kCrc = "$11111111, $22222222, $33333333";

TEST(HeaderValues, ExtractAndAdd) {
  const std::string r = ShortReport(kCrc);
  EXPECT_EQ(ExtractHeaderValue(r, "callstack crc"), kCrc);
  EXPECT_EQ(ExtractHeaderValue(r, "exception"), "");  // only the start of longer names
  EXPECT_EQ(ExtractHeaderValue(r, "date/time"), "");  // the first line cannot be read
  EXPECT_EQ(ExtractHeaderValue(r, "count"), "");
  const std::string counted = AddHeaderValue(r, "count", "callstack crc", "2");
  EXPECT_NE(
      counted.find("callstack crc     : " + kCrc + "\r\ncount             : 2\r\nexception class"),
      std::string::npos);
  EXPECT_EQ(ExtractHeaderValue(counted, "count"), "2");
  EXPECT_EQ(AddHeaderValue(r, "count", "missing", "2"), r);
}

TEST(AppendReport, EachReportEndsInAnEmptyLine) {
  BugReportFileRules rules;
  rules.noDuplicates = false;
  std::string file = AppendReport("", ShortReport(kCrc), rules);
  EXPECT_EQ(file, ShortReport(kCrc) + "\r\n\r\n");
  file = AppendReport(file, ShortReport(kCrc, "2.0"), rules);
  EXPECT_EQ(file, ShortReport(kCrc) + "\r\n\r\n" + ShortReport(kCrc, "2.0") + "\r\n\r\n");
  rules.append = false;
  EXPECT_EQ(AppendReport(file, ShortReport(kCrc), rules), ShortReport(kCrc) + "\r\n\r\n");
}

TEST(AppendReport, TheSameFaultFiveTimesLeavesOneReportCountingFive) {
  BugReportFileRules rules;
  std::string file = AppendReport("", ShortReport("$99999999, $88888888, $77777777"), rules);
  for (int i = 0; i < 5; ++i)
    file = AppendReport(file, ShortReport(kCrc, "1.0", "take " + std::to_string(i)), rules);
  EXPECT_EQ(file.find(ShortReport("$99999999, $88888888, $77777777")), 0u);
  EXPECT_EQ(file.find("take 3"), std::string::npos);
  const std::size_t newest = file.find("take 4");
  ASSERT_NE(newest, std::string::npos);
  EXPECT_EQ(ExtractHeaderValue(file.substr(file.rfind("date/time", newest)), "count"), "5");
  EXPECT_EQ(file.size() - newest,
            std::string("take 4\r\n\r\n").size());  // in the place of the newest
}

TEST(AppendReport, DuplicateDepthAndOrigin) {
  BugReportFileRules rules;
  rules.duplicateDepth = 0;  // the first checksum decides
  const std::string first = AppendReport("", ShortReport("$11111111, $aaaaaaaa, $33333333"), rules);
  EXPECT_NE(AppendReport(first, ShortReport(kCrc), rules).find("count             : 2"),
            std::string::npos);
  rules.duplicateDepth = 1;
  EXPECT_EQ(AppendReport(first, ShortReport(kCrc), rules).find("count"), std::string::npos);
  // Another version of the program is another fault.
  rules.duplicateDepth = 2;
  const std::string v1 = AppendReport("", ShortReport(kCrc, "1.0"), rules);
  EXPECT_EQ(AppendReport(v1, ShortReport(kCrc, "2.0"), rules).find("count"), std::string::npos);
  // A report whose checksums are not complete yet is never collapsed.
  EXPECT_EQ(AppendReport(v1, ShortReport("will be calculated soon"), rules).find("count"),
            std::string::npos);
}

TEST(AppendReport, SizeLimitDropsOldReportsFromTheFront) {
  BugReportFileRules rules;
  rules.noDuplicates = false;
  rules.sizeLimit = 1000;
  std::string file;
  for (int i = 0; i < 6; ++i)
    file += ShortReport("$" + std::to_string(i), "1.0", std::string(150, 'a' + i)) + "\r\n\r\n";
  ASSERT_GT(file.size(), 1000u);
  const std::string out = AppendReport(file, ShortReport("new"), rules);
  // Cut at the first report start after which fewer than 750 bytes remain.
  std::size_t cut = 0;
  for (std::size_t p = file.find("\r\ndate/time"); p != std::string::npos;
       p = file.find("\r\ndate/time", p + 1)) {
    if (file.size() - p < 750) {
      cut = p + 2;
      break;
    }
  }
  EXPECT_EQ(out, file.substr(cut) + ShortReport("new") + "\r\n\r\n");
  // One report larger than three quarters of the limit is kept whole.
  const std::string big = ShortReport("$1", "1.0", std::string(2000, 'b')) + "\r\n\r\n";
  EXPECT_EQ(AppendReport(big, ShortReport("new"), rules), big + ShortReport("new") + "\r\n\r\n");
}

// The restart starts the program's own path, quoted, whatever the old
// command line's first word was, and passes the arguments on unchanged.
TEST(RestartCommandLine, SecurityOwnPathQuotedWithTheOriginalArguments) {
  const std::string path = "C:\\Program Files\\CorVAN\\corvan.exe";
  const std::string quoted = "\"" + path + "\"";
  const struct {
    const char* line;
    const char* arguments;
  } cases[] = {
      // An unquoted path with a blank: its first word is all the runtime
      // reads as the program, the rest are arguments.
      {"C:\\Program Files\\CorVAN\\corvan.exe /x", " Files\\CorVAN\\corvan.exe /x"},
      {"\"C:\\Program Files\\CorVAN\\corvan.exe\" /x \"a b\"", " /x \"a b\""},
      {"\"elsewhere.exe\"/x", "/x"},
      {"\"unclosed /x", ""},
      {"corvan", ""},
      {"corvan\t-a", "\t-a"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RestartCommandLine(path, c.line), quoted + c.arguments) << c.line;
  }
}

}  // namespace
}  // namespace corvan::crash
