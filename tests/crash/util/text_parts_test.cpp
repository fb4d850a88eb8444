// Hexadecimal, address and path texts of the reports.
#include "crash/util/TextParts.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

TEST(TextParts, HexAndAddresses) {
  EXPECT_EQ(HexText(0), "$0");
  EXPECT_EQ(HexText(0x1a2b), "$1a2b");
  EXPECT_EQ(HexText(0xFFFFFFFF), "$ffffffff");
  EXPECT_EQ(AddressText(0x401000), "00401000");
}

TEST(TextParts, PathParts) {
  EXPECT_EQ(FileNamePart("C:\\dir\\log.txt"), "log.txt");
  EXPECT_EQ(FileNamePart("log.txt"), "log.txt");
  EXPECT_EQ(FolderPart("C:\\dir\\log.txt"), "C:\\dir\\");
  EXPECT_EQ(FolderPart("log.txt"), "");
  EXPECT_EQ(DrivePart("c:\\dir\\x"), "c:\\");
  EXPECT_EQ(DrivePart("\\\\server\\share\\dir\\x"), "\\\\server\\share\\");
  EXPECT_EQ(DrivePart("\\\\server"), "\\\\server\\");
  EXPECT_EQ(DrivePart("dir\\x"), "");
  EXPECT_EQ(WithoutExtension("C:\\a.b\\file.tar.gz"), "C:\\a.b\\file.tar");
  EXPECT_EQ(WithoutExtension("C:\\a.b\\file"), "C:\\a.b\\file");
}

TEST(TextParts, MakeAbsolutePath) {
  const std::string exe = "C:\\Program Files\\CorVAN\\";
  EXPECT_EQ(MakeAbsolutePath("bugreport.txt", exe), "C:\\Program Files\\CorVAN\\bugreport.txt");
  EXPECT_EQ(MakeAbsolutePath("x", exe), "C:\\Program Files\\CorVAN\\x");
  EXPECT_EQ(MakeAbsolutePath("\\logs\\a.txt", exe), "C:\\logs\\a.txt");
  EXPECT_EQ(MakeAbsolutePath("D:\\a\\.\\b\\..\\c.txt", exe), "D:\\a\\c.txt");
  EXPECT_EQ(MakeAbsolutePath("..\\..\\up.txt", exe), "C:\\up.txt");
  EXPECT_EQ(MakeAbsolutePath("a\\b\\c\\..\\..\\d.txt", exe), "C:\\Program Files\\CorVAN\\a\\d.txt");
  EXPECT_EQ(MakeAbsolutePath("..\\..\\..\\..\\x", exe), "C:\\x");
  EXPECT_EQ(MakeAbsolutePath("\\\\srv\\share\\a\\..\\b", exe), "\\\\srv\\share\\b");
}

}  // namespace
}  // namespace corvan::crash
