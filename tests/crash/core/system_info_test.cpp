// The collectors on the running system, checked against what Windows (here
// Wine: 6.1 build 7601, "." as decimal separator) reports by other means.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>

#include "crash/core/SystemInfo.h"

namespace corvan::crash {
namespace {

bool RunsOnWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

TEST(SystemInfoWin, OperatingSystemNameAndBuild) {
  const OsFacts& os = OperatingSystemFacts();
  EXPECT_EQ(os.platform, OsPlatform::WindowsNT);
  const std::string text = OperatingSystem();
  EXPECT_NE(text.find(" build " + std::to_string(os.build)), std::string::npos) << text;
  EXPECT_EQ(text.find(" x64") != std::string::npos, RunsOnWow64()) << text;
  if (os.major == 6 && os.minor == 1) {
    EXPECT_EQ(text.rfind("Windows NT New", 0), 0u) << text;
  }
}

TEST(SystemInfoWin, ProcessorsAgreeWithTheSystem) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(ProcessorCount(), std::min<int>(16, static_cast<int>(info.dwNumberOfProcessors)));
  const std::string name = ProcessorName();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find("  "), std::string::npos);
}

TEST(SystemInfoWin, MemoryDiskAndDisplayTexts) {
  const std::string memory = PhysicalMemory();
  const auto slash = memory.find('/');
  ASSERT_NE(slash, std::string::npos) << memory;
  EXPECT_TRUE(AllDigits(memory.substr(0, slash))) << memory;
  EXPECT_NE(memory.find(" MB (free/total)"), std::string::npos) << memory;

  const std::string disks = FreeDiskSpace();
  EXPECT_EQ(disks.rfind("(C:) ", 0), 0u) << disks;

  const std::string display = DisplayMode();
  const std::string expected = std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "x" +
                               std::to_string(GetSystemMetrics(SM_CYSCREEN)) + ", ";
  EXPECT_EQ(display.rfind(expected, 0), 0u) << display;
  EXPECT_EQ(display.substr(display.size() - 4), " bit");

  const std::string allocated = AllocatedMemory();
  EXPECT_TRUE(allocated.size() > 3 && (allocated.ends_with(" KB") || allocated.ends_with(" MB")))
      << allocated;
  EXPECT_EQ(SystemResources(), "");
}

TEST(SystemInfoWin, LocaleUpTimesAndUser) {
  EXPECT_FALSE(SystemLanguage().empty());
  char separator[8];
  ASSERT_GT(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator), 1);
  EXPECT_EQ(DecimalSeparator(), separator[0]);
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  EXPECT_EQ(ProgramUpTime(0), "");
  EXPECT_TRUE(ProgramUpTime(now.QuadPart).ends_with(" milliseconds"));
  EXPECT_EQ(ProgramUpTime(now.QuadPart - 90 * frequency.QuadPart), "1 minute 30 seconds ");
  const std::string up = SystemUpTime();
  if (now.QuadPart / frequency.QuadPart > 0) {
    EXPECT_FALSE(up.empty());
  }
  EXPECT_EQ(TerminalServerClient(), "");
  UserIsAdministrator();  // answers without failing; Wine's user is an administrator
}

}  // namespace
}  // namespace corvan::crash
