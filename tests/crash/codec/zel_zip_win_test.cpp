// CreateZipFile over the Windows file system: attributes, local
// modification times, skipped and failing inputs.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/WinTestSupport.h"
#include "crash/codec/zelZip.h"
#include "crash/util/ByteOrder.h"

namespace corvan::crash {
namespace {

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::vector<std::uint8_t> data;
  HANDLE f =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return data;
  data.resize(GetFileSize(f, nullptr));
  DWORD read;
  ReadFile(f, data.data(), static_cast<DWORD>(data.size()), &read, nullptr);
  CloseHandle(f);
  return data;
}

void WriteText(const std::string& path, const std::string& text) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

void SetLocalTime(const std::string& path, WORD year, WORD month, WORD day, WORD hour, WORD minute,
                  WORD second) {
  SYSTEMTIME t = {year, month, 0, day, hour, minute, second, 0};
  FILETIME local, utc;
  SystemTimeToFileTime(&t, &local);
  LocalFileTimeToFileTime(&local, &utc);
  HANDLE f = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  SetFileTime(f, nullptr, nullptr, &utc);
  CloseHandle(f);
}

TEST(ZipFile, WindowsAttributesAndLocalTimes) {
  const std::string report = test::TempPath("bugreport.txt");
  const std::string shot = test::TempPath("shot.png");
  WriteText(report, std::string(3000, 'x'));
  WriteText(shot, "not really a png");
  SetLocalTime(report, 2024, 3, 15, 13, 45, 30);
  SetLocalTime(shot, 1975, 1, 1, 0, 0, 0);  // before 1980
  SetFileAttributesA(shot.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  const DWORD reportAttributes = GetFileAttributesA(report.c_str());

  const std::string zip = test::TempPath("out.zip");
  ASSERT_TRUE(CreateZipFile(zip, {report, test::TempPath("missing.txt"), shot},
                            {"", "", "screenshot.png"}));
  const std::vector<std::uint8_t> bytes = ReadAll(zip);
  ASSERT_GT(bytes.size(), 22u);
  const std::size_t end = bytes.size() - 22;
  EXPECT_EQ(bytes[end + 10], 2);  // the missing file is left out
  std::size_t at = ReadLe32(&bytes[end + 16]);

  // Entry 1: named after the path's last part.
  EXPECT_EQ(bytes[at + 12] | bytes[at + 13] << 8, (13 << 11) | (45 << 5) | 15);  // time
  EXPECT_EQ(bytes[at + 14] | bytes[at + 15] << 8, (44 << 9) | (3 << 5) | 15);    // date
  EXPECT_EQ(ReadLe32(&bytes[at + 38]), reportAttributes);
  const std::size_t nameLength = bytes[at + 28] | bytes[at + 29] << 8;
  const std::string name(bytes.begin() + at + 46, bytes.begin() + at + 46 + nameLength);
  EXPECT_EQ(name, report.substr(report.rfind('\\') + 1));
  at += 46 + nameLength;

  // Entry 2: the given name, 1980-01-01, read-only.
  EXPECT_EQ(bytes[at + 12] | bytes[at + 13] << 8, 0);
  EXPECT_EQ(bytes[at + 14] | bytes[at + 15] << 8, (1 << 5) | 1);
  EXPECT_EQ(ReadLe32(&bytes[at + 38]),
            static_cast<std::uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(std::string(bytes.begin() + at + 46, bytes.begin() + at + 60), "screenshot.png");

  SetFileAttributesA(shot.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(report.c_str());
  DeleteFileA(shot.c_str());
  DeleteFileA(zip.c_str());
}

TEST(ZipFile, NothingReadableOrNowhereToWriteLeavesNoArchive) {
  const std::string zip = test::TempPath("none.zip");
  EXPECT_FALSE(CreateZipFile(zip, {test::TempPath("nope1"), test::TempPath("nope2")}, {}));
  EXPECT_FALSE(test::FileExists(zip));

  const std::string input = test::TempPath("input.txt");
  WriteText(input, "data");
  EXPECT_FALSE(CreateZipFile("C:\\no\\such\\folder\\a.zip", {input}, {}));
  // An input held open for writing by someone else is still read.
  HANDLE held = CreateFileA(input.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  EXPECT_TRUE(CreateZipFile(zip, {input}, {}));
  CloseHandle(held);
  DeleteFileA(zip.c_str());
  DeleteFileA(input.c_str());
}

}  // namespace
}  // namespace corvan::crash
