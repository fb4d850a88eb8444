#include <gtest/gtest.h>

#include "crash/core/SystemInfoText.h"

namespace corvan::crash {
namespace {

TEST(DurationText, TwoUnitsAtMostWithATrailingBlank) {
  EXPECT_EQ(DurationText(0), "");
  EXPECT_EQ(DurationText(-5), "");
  EXPECT_EQ(DurationText(1), "1 second ");
  EXPECT_EQ(DurationText(90), "1 minute 30 seconds ");
  EXPECT_EQ(DurationText(120), "2 minutes ");
  EXPECT_EQ(DurationText(3600), "1 hour ");
  EXPECT_EQ(DurationText(3600 + 59), "1 hour ");
  EXPECT_EQ(DurationText(7320), "2 hours 2 minutes ");
  EXPECT_EQ(DurationText(2 * 86400 + 3600 + 61), "2 days 1 hour ");
  EXPECT_EQ(DurationText(86400 + 60), "1 day ");
}

TEST(DurationText, ProgramUpTimeShowsMillisecondsUnderASecond) {
  EXPECT_EQ(ProgramUpTimeText(350), "350 milliseconds");
  EXPECT_EQ(ProgramUpTimeText(0), "0 milliseconds");
  EXPECT_EQ(ProgramUpTimeText(61500), "1 minute 1 second ");
}

TEST(SizeText, UnitsAndTruncatedHundredths) {
  EXPECT_EQ(SizeText(0, ','), "0 Bytes");
  EXPECT_EQ(SizeText(1023, ','), "1023 Bytes");
  EXPECT_EQ(SizeText(1024, ','), "1,00 KB");
  EXPECT_EQ(SizeText(1536, ','), "1,50 KB");
  EXPECT_EQ(SizeText(1536, '.'), "1.50 KB");
  EXPECT_EQ(SizeText(1034, ','), "1,00 KB");  // 100.97 truncated
  EXPECT_EQ(SizeText(1048575, ','), "1023,99 KB");
  EXPECT_EQ(SizeText(1048576 * 5 / 2, ','), "2,50 MB");
  EXPECT_EQ(SizeText(1073741824ULL * 300 + 1073741824ULL / 4, ','), "300,25 GB");
  EXPECT_EQ(SizeText(UINT64_MAX, ','), "17179869183,99 GB");
}

OsFacts Nt(std::uint32_t major, std::uint32_t minor, std::uint32_t build = 1) {
  OsFacts os;
  os.major = major;
  os.minor = minor;
  os.build = build;
  return os;
}

OsFacts Win9x(std::uint32_t major, std::uint32_t minor, std::uint32_t build) {
  OsFacts os = Nt(major, minor, build);
  os.platform = OsPlatform::Windows9x;
  return os;
}

TEST(OperatingSystem, ProductTable) {
  const struct {
    OsFacts os;
    int index;
  } cases[] = {{Win9x(3, 95, 1), 0},    {Win9x(4, 0, 950), 1},
               {Win9x(4, 0, 1000), 1},  {Win9x(4, 0, 1111), 2},
               {Win9x(4, 10, 1998), 3}, {Win9x(4, 10, 2000), 3},
               {Win9x(4, 10, 2222), 4}, {Win9x(4, 10, 2700), 4},
               {Win9x(4, 10, 2701), 5}, {Win9x(4, 11, 0), 5},
               {Win9x(4, 90, 3000), 5}, {Win9x(4, 91, 0), 6},
               {Win9x(5, 0, 0), 6},     {Win9x(4, 10, 0x040A0000 | 1998), 3},
               {Nt(3, 51), 7},          {Nt(4, 0), 8},
               {Nt(5, 0), 9},           {Nt(5, 1), 10},
               {Nt(5, 2), 10},          {Nt(6, 0), 12},
               {Nt(6, 1), 13},          {Nt(10, 0), 13}};
  for (const auto& c : cases) {
    EXPECT_EQ(OsProductIndex(c.os), c.index)
        << c.os.major << "." << c.os.minor << " " << c.os.build;
  }
  OsFacts server = Nt(5, 2);
  server.workstation = false;
  EXPECT_EQ(OsProductName(OsProductIndex(server)), "Windows 2003");
}

TEST(OperatingSystem, SuffixesInOrder) {
  OsFacts os = Nt(5, 2, 3790);
  os.nativeAmd64 = true;
  os.servicePack = "Service Pack 2";
  EXPECT_EQ(OperatingSystemText(os), "Windows XP x64 Service Pack 2 build 3790");
  OsFacts all = Nt(5, 1, 2600);
  all.serverR2 = all.tabletPc = all.starter = all.mediaCenter = all.nativeAmd64 = true;
  EXPECT_EQ(OperatingSystemText(all),
            "Windows XP R2 Tablet PC Starter Media Center x64 build 2600");
  OsFacts seven = Nt(6, 1, 7601);
  seven.mediaCenter = true;  // not named from Vista on
  seven.servicePack = "Service Pack 1";
  EXPECT_EQ(OperatingSystemText(seven), "Windows NT New Service Pack 1 build 7601");
  OsFacts me = Win9x(4, 90, 0xC5A0BB8);
  me.servicePack = " A ";  // Windows 9x carries no suffixes
  EXPECT_EQ(OperatingSystemText(me), "Windows ME build 3000");
}

TEST(SystemInfoText, SmallFormats) {
  EXPECT_EQ(CollapseBlanks("  Intel(R)   Core(TM)  i7  "), "Intel(R) Core(TM) i7");
  EXPECT_EQ(PhysicalMemoryText(512 * 1024 - 1, 4096ULL * 1024 * 1024), "0/4096 MB (free/total)");
  EXPECT_EQ(PhysicalMemoryText(512 * 1024, 1536ULL * 1024 * 1024 + 512 * 1024),
            "1/1537 MB (free/total)");
  EXPECT_EQ(SystemResourcesText(7, 42), "07/42 (gdi/user)");
  EXPECT_EQ(DriveSpaceText('c', 1536, ','), "(C:) 1,50 KB");
  EXPECT_EQ(DriveSpaceText('\\', 1536, ','), "");
}

}  // namespace
}  // namespace corvan::crash
