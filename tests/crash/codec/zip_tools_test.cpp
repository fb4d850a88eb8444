// Archives of real files checked by tools nobody here wrote: unzip -t and
// Python's zipfile. Native build only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <random>
#include <sstream>

#include "common/ExternalTools.h"
#include "crash/codec/zelZip.h"

namespace corvan::crash {
namespace {

using test::Quote;
using test::RunTool;
using test::TempDir;

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) h += {digits[c >> 4], digits[c & 15]};
  return h;
}

std::string Sha256(const std::string& path) {
  const test::CommandResult r = RunTool("sha256sum " + Quote(path));
  return r.output.substr(0, 64);
}

void SetModified(const std::string& path, int year, int month, int day, int hour, int minute,
                 int second) {
  std::tm local{};
  local.tm_year = year - 1900, local.tm_mon = month - 1, local.tm_mday = day;
  local.tm_hour = hour, local.tm_min = minute, local.tm_sec = second, local.tm_isdst = -1;
  const utimbuf times{std::mktime(&local), std::mktime(&local)};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

std::string Inspect(const std::string& zip) {
  const test::CommandResult r =
      RunTool("python3 " + Quote(test::ScriptDir() + "/zip_inspect.py") + " " + Quote(zip));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return r.output;
}

TEST(ZipArchiveTools, BugReportAndScreenshotAsStandardToolsSeeThem) {
  TempDir dir;
  std::string report;
  for (int i = 0; i < 2000; ++i) report += "thread $" + std::to_string(i) + ": 0040a1f3\r\n";
  test::WriteFile(dir / "bugreport.txt", report.data(), report.size());
  std::vector<std::uint8_t> png(20000);  // incompressible: stored
  std::mt19937 rng(7);
  for (auto& b : png) b = static_cast<std::uint8_t>(rng());
  test::WriteFile(dir / "shot.png", png);
  test::WriteFile(dir / "empty.log", "", 0);
  SetModified(dir / "bugreport.txt", 2024, 3, 15, 13, 45, 30);
  SetModified(dir / "shot.png", 2023, 12, 31, 23, 59, 58);
  SetModified(dir / "empty.log", 1975, 6, 1, 12, 0, 0);  // before 1980

  StdioZipFileAccess files;
  const std::string zip = dir / "out.zip";
  ASSERT_TRUE(CreateZipFile(
      files, zip, {dir / "bugreport.txt", dir / "shot.png", dir / "missing.txt", dir / "empty.log"},
      {"bugreport.txt", "screenshot.png", "missing.txt", "empty.log"}));

  const test::CommandResult unzip = RunTool("unzip -t " + Quote(zip));
  EXPECT_EQ(unzip.exitCode, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected"), std::string::npos) << unzip.output;

  std::ostringstream expected;
  expected << R"({"attributes": 32, "date_time": [2024, 3, 15, 13, 45, 30], "method": 8, "name": ")"
           << Hex("bugreport.txt") << R"(", "sha256": ")" << Sha256(dir / "bugreport.txt")
           << R"(", "size": )" << report.size() << "}\n";
  expected
      << R"({"attributes": 32, "date_time": [2023, 12, 31, 23, 59, 58], "method": 0, "name": ")"
      << Hex("screenshot.png") << R"(", "sha256": ")" << Sha256(dir / "shot.png")
      << R"(", "size": 20000})"
      << "\n";
  // Empty files are stored: their deflate stream would be longer.
  expected << R"({"attributes": 32, "date_time": [1980, 1, 1, 0, 0, 0], "method": 0, "name": ")"
           << Hex("empty.log") << R"(", "sha256": ")" << Sha256(dir / "empty.log")
           << R"(", "size": 0})"
           << "\n";
  EXPECT_EQ(Inspect(zip), expected.str());

  // unzip restores the contents byte for byte.
  const test::CommandResult extract =
      RunTool("cd " + Quote(dir.path().string()) + " && mkdir x && cd x && unzip -q ../out.zip");
  EXPECT_EQ(extract.exitCode, 0) << extract.output;
  EXPECT_EQ(Sha256(dir / "x/bugreport.txt"), Sha256(dir / "bugreport.txt"));
  EXPECT_EQ(Sha256(dir / "x/screenshot.png"), Sha256(dir / "shot.png"));
}

TEST(ZipArchiveTools, NamesAreStoredByteForByte) {
  TempDir dir;
  test::WriteFile(dir / "a", "alpha", 5);
  test::WriteFile(dir / "b", "beta", 4);
  chmod((dir / "b").c_str(), 0444);
  StdioZipFileAccess files;
  const std::string zip = dir / "names.zip";
  const std::string latin = "r\xE9sum\xE9 \x80.txt";  // 8-bit, code page bytes
  ASSERT_TRUE(CreateZipFile(files, zip, {dir / "a", dir / "b"}, {latin, "logs\\b.txt"}));
  const std::string listing = Inspect(zip);
  EXPECT_NE(listing.find(Hex(latin)), std::string::npos) << listing;
  EXPECT_NE(listing.find(Hex("logs\\b.txt")), std::string::npos) << listing;
  EXPECT_NE(listing.find(R"("attributes": 33)"), std::string::npos) << listing;  // read-only
}

TEST(ZipArchiveTools, ManyFilesAndNothingToArchive) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 300; ++i) {
    paths.push_back(dir / ("f" + std::to_string(i) + ".txt"));
    const std::string text(static_cast<std::size_t>(i) * 37, static_cast<char>('a' + i % 26));
    test::WriteFile(paths.back(), text.data(), text.size());
  }
  StdioZipFileAccess files;
  const std::string zip = dir / "many.zip";
  ASSERT_TRUE(CreateZipFile(files, zip, paths, {}));
  const test::CommandResult unzip = RunTool("unzip -t " + Quote(zip));
  EXPECT_EQ(unzip.exitCode, 0) << unzip.output;
  EXPECT_NE(unzip.output.find("No errors detected in compressed data"), std::string::npos);

  const std::string none = dir / "none.zip";
  EXPECT_FALSE(CreateZipFile(files, none, {dir / "nope1", dir / "nope2"}, {}));
  EXPECT_FALSE(std::filesystem::exists(none));
}

}  // namespace
}  // namespace corvan::crash
