// The module list's text: columns one wider than their longest value, an
// empty version keeping the columns, paths split at the last backslash.
#include "crash/analysis/zelListModules.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

TEST(ModuleList, ColumnsAreOneWiderThanTheLongestValue) {
  const std::vector<ModuleEntry> modules = {
      ModuleEntryFromPath(0x00400000, "C:\\Program Files\\CorVAN\\corvan.exe", "1.2.0.7"),
      ModuleEntryFromPath(0x7c800000, "C:\\windows\\system32\\kernel32.dll", "10.0.19041.1"),
      ModuleEntryFromPath(0x10000000, "D:\\x\\nover.dll", ""),
  };
  EXPECT_EQ(ModuleListText(modules),
            "00400000 corvan.exe   1.2.0.7      C:\\Program Files\\CorVAN\r\n"
            "7c800000 kernel32.dll 10.0.19041.1 C:\\windows\\system32\r\n"
            "10000000 nover.dll                 D:\\x");
}

TEST(ModuleList, PathsWithoutFolderAndEmptyLists) {
  const ModuleEntry bare = ModuleEntryFromPath(0xffff0000, "plain.dll", "1.0.0.0");
  EXPECT_EQ(bare.fileName, "plain.dll");
  EXPECT_EQ(bare.directory, "");
  const ModuleEntry root = ModuleEntryFromPath(0x10000, "C:\\a.dll", "");
  EXPECT_EQ(root.directory, "C:");
  EXPECT_EQ(root.fileName, "a.dll");
  // No versions at all: the version column is a single blank.
  EXPECT_EQ(ModuleListText({bare}), "ffff0000 plain.dll 1.0.0.0 ");
  EXPECT_EQ(ModuleListText({root}), "00010000 a.dll  C:");
  EXPECT_EQ(ModuleListText({}), "");
}

}  // namespace
}  // namespace corvan::crash
