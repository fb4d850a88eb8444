#include "app/VncCommands.h"

#include <gtest/gtest.h>

namespace corvan::app {
namespace {

TEST(ConnectParameters, IdentifierIsOffsetNumberInBothForms) {
  EXPECT_EQ(ConnectParameters(1, false, "rep.example"), "-id:9001 -connect rep.example::5500");
  EXPECT_EQ(ConnectParameters(1000, true, "rep.example"),
            "-autoreconnect ID:10000 -connect rep.example::5500");
  EXPECT_EQ(ConnectParameters(42, true),
            "-autoreconnect ID:9042 -connect " + std::string(kRepeaterHost) + "::5500");
}

TEST(ConnectParameters, FixedParameterTexts) {
  EXPECT_EQ(kKillParameters, "-Kill");
  EXPECT_EQ(kRunParameters, "-run");
}

TEST(HelpdeskNumber, AcceptsOneToThousandOnly) {
  EXPECT_FALSE(IsValidHelpdeskNumber(0));
  EXPECT_FALSE(IsValidHelpdeskNumber(-1));
  EXPECT_FALSE(IsValidHelpdeskNumber(1001));
  EXPECT_FALSE(IsValidHelpdeskNumber(INT32_MIN));
  EXPECT_TRUE(IsValidHelpdeskNumber(1));
  EXPECT_TRUE(IsValidHelpdeskNumber(1000));
}

struct PathCase {
  const char* folder;
  bool wow64;
  const char* expected;
};

class VncServerPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(VncServerPath, FromProgramFiles) {
  const PathCase& c = GetParam();
  EXPECT_EQ(VncServerPathFromProgramFiles(c.folder, c.wow64), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, VncServerPath,
    ::testing::Values(
        // 64-bit Windows shows the 32-bit folder: the server is in the other one.
        PathCase{"C:\\Program Files (x86)\\", true, "C:\\Program Files\\ultravnc\\Winvnc.exe"},
        // 32-bit Windows: the folder as the shell reports it.
        PathCase{"C:\\Program Files\\", false, "C:\\Program Files\\ultravnc\\Winvnc.exe"},
        // Without WOW64 the suffix is not touched.
        PathCase{"C:\\Program Files (x86)\\", false,
                 "C:\\Program Files (x86)\\ultravnc\\Winvnc.exe"},
        // WOW64 with a folder of another name: unchanged.
        PathCase{"D:\\Apps32\\", true, "D:\\Apps32\\ultravnc\\Winvnc.exe"},
        // The suffix counts only in front of the final backslash.
        PathCase{"C:\\ (x86)\\Tools\\", true, "C:\\ (x86)\\Tools\\ultravnc\\Winvnc.exe"},
        // Exactly " (x86)\" is seven characters: the suffix goes.
        PathCase{" (x86)\\", true, "\\ultravnc\\Winvnc.exe"},
        // Shorter folders are too short to hold it, and are left alone.
        PathCase{"(x86)\\", true, "(x86)\\ultravnc\\Winvnc.exe"},
        PathCase{"\\", true, "\\ultravnc\\Winvnc.exe"},
        // No folder: no path, never the bare relative one.
        PathCase{"", true, ""}, PathCase{"", false, ""}));

}  // namespace
}  // namespace corvan::app
