#include <gtest/gtest.h>

#include "crash/util/TextParts.h"
#include "crash/analysis/ThreadInfoText.h"
#include "crash/analysis/Unmangle.h"

namespace corvan::crash {
namespace {

struct Unmangled {
  bool mangled;
  std::string name, unit;
};

Unmangled Unmangle(std::string name) {
  std::string unit = "stale";
  const bool mangled = UnmangleName(name, unit);
  return {mangled, name, mangled ? unit : ""};
}

TEST(Unmangle, MethodsConstructorsAndDestructors) {
  const struct { const char* in; const char* name; const char* unit; } cases[] = {
      {"@Unit@TForm1@Button1Click$qqrp14System@TObject", "TForm1.Button1Click", "Unit"},
      {"@Unit@TForm1@$bctr$qqrv", "TForm1.Create", "Unit"},
      {"@Unit@TThing@$bdtr$qqrv", "TThing.Destroy", "Unit"},
      {"@Sysutils@Format$qqrx17System@AnsiStringpx14System@TVarRecxi", "Format", "Sysutils"},
      {"@Unit@Proc", "Proc", "Unit"},
      {"@Unit@", "@Unit.Create", ""},  // nothing after the unit: the unit stays
      {"@Proc$qqrv", "Proc", ""},
      {"@%TList__1$p17System@TObject%@Add$qqrp17System@TObject", "TList__1.Add", ""},
      {"@Ns::Unit@Fn$qv", "Fn", "Ns.Unit"},
  };
  for (const auto& c : cases) {
    const Unmangled u = Unmangle(c.in);
    EXPECT_TRUE(u.mangled) << c.in;
    EXPECT_EQ(u.name, c.name) << c.in;
    EXPECT_EQ(u.unit, c.unit) << c.in;
  }
}

TEST(Unmangle, PlainNamesStayAsTheyAre) {
  for (const char* plain : {"main", "_ZN6corvan5crash4TestEv", "ns::func", ""}) {
    const Unmangled u = Unmangle(plain);
    EXPECT_FALSE(u.mangled);
    EXPECT_EQ(u.name, plain);
  }
}

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

TEST(ThreadHeaderText, NamesDescriptionsAndHiddenThreads) {
  ThreadInfoEntry e;
  e.threadId = 0x1a4;
  EXPECT_EQ(ThreadHeaderText(0x1a4, nullptr, false, true), "thread $1a4");
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, false), "thread $1a4");
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "thread $1a4");
  e.description = "TDownloadThread";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "thread $1a4 (TDownloadThread)");
  e.name = "main";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "main ($1a4)");
  for (const char* hidden : {"-", "AntiFreezeThread", "HandleExceptionThread"}) {
    e.name = hidden;
    EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "") << hidden;
  }
  e.name = "AntiFreezeThread";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, true, true), "AntiFreezeThread ($1a4)");
  e.name = "-";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, true, true), "thread $1a4 (TDownloadThread)");
}

}  // namespace
}  // namespace corvan::crash
