#include <gtest/gtest.h>

#include <string>

#include "crash/core/BugReportFile.h"

namespace corvan::crash {
namespace {

std::string Report(const std::string& crc, const std::string& version = "1.0",
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
  const std::string r = Report(kCrc);
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
  std::string file = AppendReport("", Report(kCrc), rules);
  EXPECT_EQ(file, Report(kCrc) + "\r\n\r\n");
  file = AppendReport(file, Report(kCrc, "2.0"), rules);
  EXPECT_EQ(file, Report(kCrc) + "\r\n\r\n" + Report(kCrc, "2.0") + "\r\n\r\n");
  rules.append = false;
  EXPECT_EQ(AppendReport(file, Report(kCrc), rules), Report(kCrc) + "\r\n\r\n");
}

TEST(AppendReport, TheSameFaultFiveTimesLeavesOneReportCountingFive) {
  BugReportFileRules rules;
  std::string file = AppendReport("", Report("$99999999, $88888888, $77777777"), rules);
  for (int i = 0; i < 5; ++i)
    file = AppendReport(file, Report(kCrc, "1.0", "take " + std::to_string(i)), rules);
  EXPECT_EQ(file.find(Report("$99999999, $88888888, $77777777")), 0u);
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
  const std::string first = AppendReport("", Report("$11111111, $aaaaaaaa, $33333333"), rules);
  EXPECT_NE(AppendReport(first, Report(kCrc), rules).find("count             : 2"),
            std::string::npos);
  rules.duplicateDepth = 1;
  EXPECT_EQ(AppendReport(first, Report(kCrc), rules).find("count"), std::string::npos);
  // Another version of the program is another fault.
  rules.duplicateDepth = 2;
  const std::string v1 = AppendReport("", Report(kCrc, "1.0"), rules);
  EXPECT_EQ(AppendReport(v1, Report(kCrc, "2.0"), rules).find("count"), std::string::npos);
  // A report whose checksums are not complete yet is never collapsed.
  EXPECT_EQ(AppendReport(v1, Report("will be calculated soon"), rules).find("count"),
            std::string::npos);
}

TEST(AppendReport, SizeLimitDropsOldReportsFromTheFront) {
  BugReportFileRules rules;
  rules.noDuplicates = false;
  rules.sizeLimit = 1000;
  std::string file;
  for (int i = 0; i < 6; ++i)
    file += Report("$" + std::to_string(i), "1.0", std::string(150, 'a' + i)) + "\r\n\r\n";
  ASSERT_GT(file.size(), 1000u);
  const std::string out = AppendReport(file, Report("new"), rules);
  // Cut at the first report start after which fewer than 750 bytes remain.
  std::size_t cut = 0;
  for (std::size_t p = file.find("\r\ndate/time"); p != std::string::npos;
       p = file.find("\r\ndate/time", p + 1)) {
    if (file.size() - p < 750) {
      cut = p + 2;
      break;
    }
  }
  EXPECT_EQ(out, file.substr(cut) + Report("new") + "\r\n\r\n");
  // One report larger than three quarters of the limit is kept whole.
  const std::string big = Report("$1", "1.0", std::string(2000, 'b')) + "\r\n\r\n";
  EXPECT_EQ(AppendReport(big, Report("new"), rules), big + Report("new") + "\r\n\r\n");
}

}  // namespace
}  // namespace corvan::crash
