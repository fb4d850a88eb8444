// The details view's formatters on report sections in the report's own
// formats: modules, processes, registers, stack dump (made by the report
// code itself), disassembly, call stacks of several threads, free text.
#include "crash/ui/DetailsView.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/core/ReportText.h"

namespace corvan::crash {
namespace {

std::vector<std::string> Captions(const DetailsContent& c) {
  std::vector<std::string> out;
  for (const auto& col : c.columns) out.push_back(col.caption);
  return out;
}

std::vector<std::string> Row(const DetailsContent& c, std::size_t i) {
  return ItemCells(c.items.at(i), c.columns);
}

std::string Pad(const std::string& s, std::size_t width) {
  return s + std::string(width - s.size(), ' ');
}

// The module list as the plugin writes it: base, name and version in
// columns one wider than their longest entry, then the folder.
std::string ModuleList() {
  struct M {
    const char *base, *name, *version, *dir;
  } modules[] = {{"00400000", "corvan.exe", "1.0.0.0", "C:\\Program Files\\CorVAN NG"},
                 {"7b600000", "kernel32.dll", "6.1.7601.24000", "C:\\windows\\system32"},
                 {"7bc00000", "ntdll.dll", "", "C:\\windows\\system32"},
                 {"7c000000", "user32.dll", "6.1.7601.24000", "C:\\windows\\system32"},
                 {"7c400000", "gdi32.dll", "6.1.7601.24000", "C:\\windows\\system32"}};
  std::string text;
  for (const M& m : modules) {
    if (!text.empty()) text += "\r\n";
    text += std::string(m.base) + " " + Pad(m.name, 13) + Pad(m.version, 15) + m.dir;
  }
  return text;
}

TEST(DetailsTabs, ThreadSectionsShareOneTab) {
  const NamedTexts one = {{"main thread ($24)", "x"}, {"modules", "m"}, {"cpu registers", "r"}};
  EXPECT_EQ(WantedTabs(one),
            (std::vector<std::string>{"general", "call stack", "modules", "cpu regs"}));
  const NamedTexts several = {{"main thread ($24)", "a"},
                              {"thread $30", "b"},
                              {"disassembling", "d"},
                              {"stack dump", "s"},
                              {"thread $40", "c"}};
  EXPECT_EQ(ThreadSectionCount(several), 2);
  // A "$" section after the first other section gets a tab of its own.
  EXPECT_EQ(WantedTabs(several), (std::vector<std::string>{"general", "call stacks", "disasm",
                                                           "stack dump", "thread $40"}));
  EXPECT_EQ(TextOfTab(1, {}, several).text, ">> main thread ($24)\r\na\r\n\r\n>> thread $30\r\nb");
  EXPECT_EQ(TextOfTab(2, {}, several).section, "disassembling");
  EXPECT_EQ(TextOfTab(3, {}, several).text, "s");
  EXPECT_EQ(TextOfTab(0, {{"date/time", "now"}, {"executable", "x.exe"}}, several).text,
            "date/time\tnow\r\nexecutable\tx.exe");
  EXPECT_EQ(TextOfTab(9, {}, several).text, "");
}

TEST(DetailsFormatters, HeaderIsNameAndValue) {
  const DetailsContent c =
      FormatTab(0, "", "date/time\t2026-12-09\r\nexception message\tAccess violation.");
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"description", "value"}));
  ASSERT_EQ(c.items.size(), 2u);
  EXPECT_EQ(Row(c, 1), (std::vector<std::string>{"exception message", "Access violation."}));
  EXPECT_FALSE(c.fixedPitch);
}

TEST(DetailsFormatters, ModuleListHasFourColumns) {
  const DetailsContent c = FormatTab(2, "modules", ModuleList());
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"handle", "file name", "version", "path"}));
  EXPECT_TRUE(c.columns[0].upperCase);
  EXPECT_TRUE(c.columns[2].rightAligned);
  ASSERT_EQ(c.items.size(), 5u);
  EXPECT_EQ(Row(c, 0), (std::vector<std::string>{"00400000", "corvan.exe", "1.0.0.0",
                                                 "C:\\Program Files\\CorVAN NG"}));
  EXPECT_EQ(Row(c, 1), (std::vector<std::string>{"7B600000", "kernel32.dll", "6.1.7601.24000",
                                                 "C:\\windows\\system32"}));
  EXPECT_EQ(Row(c, 2),
            (std::vector<std::string>{"7BC00000", "ntdll.dll", "", "C:\\windows\\system32"}));
}

// The process list as the plugin writes it; sessions only when one is not 0.
std::string ProcessList(bool sessions) {
  struct P {
    const char *id, *name, *session, *priority, *dir;
  } processes[] = {{"0000", "Idle", "0", "", ""},
                   {"0020", "corvan.exe", "1", "normal", "C:\\apps"},
                   {"0024", "wine.exe", "0", "high", "C:\\windows"},
                   {"0028", "explorer.exe", "1", "normal", "C:\\windows"},
                   {"002c", "services.exe", "0", "normal", "C:\\windows\\system32"}};
  std::string text;
  for (const P& p : processes) {
    if (!text.empty()) text += "\r\n";
    text += std::string(p.id) + " " + Pad(p.name, 13) + (sessions ? Pad(p.session, 2) : "") +
            Pad(p.priority, 7) + p.dir;
  }
  return text;
}

TEST(DetailsFormatters, ProcessListWithAndWithoutSessions) {
  DetailsContent c = FormatTab(3, "processes", ProcessList(false));
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"id", "file name", "priority", "path"}));
  EXPECT_EQ(Row(c, 1), (std::vector<std::string>{"0020", "corvan.exe", "normal", "C:\\apps"}));
  EXPECT_EQ(Row(c, 0), (std::vector<std::string>{"0000", "Idle", "", ""}));
  c = FormatTab(3, "processes", ProcessList(true));
  EXPECT_EQ(Captions(c),
            (std::vector<std::string>{"id", "file name", "session", "priority", "path"}));
  EXPECT_EQ(Row(c, 2), (std::vector<std::string>{"0024", "wine.exe", "0", "high", "C:\\windows"}));
}

TEST(DetailsFormatters, RegistersAreNameAndContent) {
  CpuRegisters r;
  r.eax = 0x12ff40;
  r.eip = 0x401a2b;
  const DetailsContent c = FormatTab(3, "cpu registers", CpuRegistersText(r));
  EXPECT_TRUE(c.fixedPitch);
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"reg.", "content"}));
  ASSERT_EQ(c.items.size(), 9u);
  EXPECT_EQ(Row(c, 0), (std::vector<std::string>{"eax", "0012ff40"}));
  EXPECT_EQ(Row(c, 6), (std::vector<std::string>{"eip", "00401a2b"}));
}

TEST(DetailsFormatters, StackDumpSplitsAddressBytesAndCharacters) {
  std::uint8_t bytes[40];
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<std::uint8_t>('A' + i % 26);
  const DetailsContent c =
      FormatTab(4, "stack dump", StackDumpText(0x0012ff00, bytes, sizeof bytes));
  EXPECT_TRUE(c.fixedPitch);
  EXPECT_EQ(Captions(c),
            (std::vector<std::string>{"address", "data - hexadecimal", "data - chars"}));
  ASSERT_EQ(c.items.size(), 3u);
  EXPECT_EQ(Row(c, 0), (std::vector<std::string>{
                           "0012ff00", "41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50",
                           "ABCDEFGHIJKLMNOP"}));
  // The last line ends within the region: fewer bytes, same columns.
  EXPECT_EQ(Row(c, 2),
            (std::vector<std::string>{"0012ff20", "47 48 49 4a 4b 4c 4d 4e", "GHIJKLMN"}));
}

TEST(DetailsFormatters, DisassemblyMarksTheFaultingInstruction) {
  const std::string listing =
      "10001a10 public Session.StartSession:     ; function entry point\r\n"
      "10001a10   push    ebp\r\n"
      "10001a13 > mov     eax, [ebp+8]\r\n"
      "10001a16   call    -$a1b ($10001000)      ; Session.Launch\r\n"
      "10001a1b   ret\r\n"
      "10001a1c ; ---------------------------------------------------------";
  const DetailsContent c = FormatTab(5, "disassembling", listing);
  EXPECT_TRUE(c.fixedPitch);
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"address", "asm code", "comments"}));
  ASSERT_EQ(c.items.size(), 6u);
  EXPECT_EQ(c.items[2].colour, kFaultRowColour);
  EXPECT_EQ(c.items[1].colour, 0u);
  // The marker is hidden behind a no-break space.
  EXPECT_EQ(Row(c, 2)[1], "\xA0 mov     eax, [ebp+8]");
  EXPECT_EQ(Row(c, 3), (std::vector<std::string>{"10001a16", "\xA0 call    -$a1b ($10001000)",
                                                 "; Session.Launch"}));
  EXPECT_EQ(Row(c, 0)[2], "; function entry point");
  // The separator line is shortened and keeps its comment together.
  EXPECT_EQ(Row(c, 5)[1], "; -" + std::string(56 - 28, '-'));
}

TEST(DetailsFormatters, DisassemblyWithLineNumbersGetsALineColumn) {
  const std::string listing =
      "10001a10 0041 public Session.StartSession:\r\n"
      "10001a10        push    ebp\r\n"
      "10001a13 0042 > mov     eax, [ebp+8]\r\n"
      "10001a16        ret";
  const DetailsContent c = FormatTab(5, "disassembling", listing);
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"address", "line", "asm code", "comments"}));
  EXPECT_EQ(Row(c, 2),
            (std::vector<std::string>{"10001a13", "0042", "\xA0 mov     eax, [ebp+8]", ""}));
  EXPECT_EQ(c.items[2].colour, kFaultRowColour);
  EXPECT_EQ(Row(c, 1)[1], "");
}

TEST(DetailsFormatters, CallStacksOfSeveralThreads) {
  const NamedTexts sections = {{"main thread ($24)",
                                "00401a2b +1b demo.exe Unit1   42 +3 TForm1.Button1Click\r\n"
                                "0040513c +4c demo.exe Forms 1234 +4 TApplication.Run"},
                               {"thread $30",
                                "7b6293e0 +00 kernel32.dll\r\n"
                                "7bc5ca07 +00 ntdll.dll\r\n"
                                ">> created by main thread ($24) at:\r\n"
                                "00402000 +10 demo.exe     Unit1 50 +2 TWorker.Start"}};
  const TabText tab = TextOfTab(1, {}, sections);
  const DetailsContent c = FormatTab(1, "", tab.text);
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"address", "rel.", "module", "unit", "line",
                                                   "rel.", "function"}));
  EXPECT_TRUE(c.columns[0].upperCase);
  EXPECT_TRUE(c.columns[1].upperCase && c.columns[1].rightAligned);
  EXPECT_TRUE(c.columns[4].rightAligned);
  ASSERT_EQ(c.items.size(), 9u);
  EXPECT_TRUE(c.items[0].title);
  EXPECT_EQ(Row(c, 0)[0], ">>");
  EXPECT_EQ(Row(c, 1), (std::vector<std::string>{"00401A2B", "+1B", "demo.exe", "Unit1", "42", "+3",
                                                 "TForm1.Button1Click"}));
  EXPECT_EQ(Row(c, 2), (std::vector<std::string>{"0040513C", "+4C", "demo.exe", "Forms", "1234",
                                                 "+4", "TApplication.Run"}));
  EXPECT_EQ(c.items[3].text, "");
  EXPECT_FALSE(c.items[3].title);
  EXPECT_EQ(c.items[3].colour, kWhite);
  EXPECT_TRUE(c.items[4].title);  // ">> thread $30" after the empty line
  EXPECT_EQ(Row(c, 5),
            (std::vector<std::string>{"7B6293E0", "+00", "kernel32.dll", "", "", "", ""}));
  // The creator line belongs to the block: a grey line, not a group title.
  EXPECT_FALSE(c.items[7].title);
  EXPECT_EQ(c.items[7].text, ">> created by main thread ($24) at:");
  EXPECT_EQ(Row(c, 8)[6], "TWorker.Start");
}

TEST(DetailsFormatters, InternalErrorIsNoGroupTitle) {
  const DetailsContent c =
      FormatTab(3, "modules", ">> internal error in plugin:\r\n00401a2b +1b demo.exe");
  ASSERT_FALSE(c.items.empty());
  EXPECT_FALSE(c.items[0].title);
  EXPECT_EQ(c.items[0].colour, kWhite);
}

TEST(DetailsFormatters, PlaceholderAndFreeTextStayText) {
  EXPECT_FALSE(FormatTab(3, "modules", ">> will be calculated soon").IsList());
  std::string prose;
  for (int i = 0; i < 6; ++i) prose += std::string(i ? "\r\n" : "") + std::string(100, 'x');
  EXPECT_FALSE(FormatTab(4, "notes", prose).IsList());
}

TEST(DetailsFormatters, HardwareTreeIsOneFixedPitchColumn) {
  const DetailsContent c = FormatTab(
      4, "hardware", "+ Display adapters\r\n  - VGA (driver 1.0)\r\n+ Disk drives\r\n  - Disk");
  ASSERT_TRUE(c.IsList());
  EXPECT_TRUE(c.fixedPitch);
  EXPECT_FALSE(c.columnHeaders);
  ASSERT_EQ(c.columns.size(), 1u);
  EXPECT_EQ(c.items[0].colour, 0xFFF8F0u);
  EXPECT_EQ(c.items[1].colour, 0u);
  EXPECT_EQ(Row(c, 1)[0], "\xA0 - VGA (driver 1.0)");  // the indentation survives trimming
}

TEST(DetailsFormatters, CaretTextBringsItsOwnCaptions) {
  const DetailsContent c = FormatTab(4, "fields", "^^id\t name\r\nab\tx\r\ncd\ty");
  EXPECT_TRUE(c.columnHeaders);
  EXPECT_EQ(Captions(c), (std::vector<std::string>{"id", "name"}));
  EXPECT_TRUE(c.columns[0].upperCase);
  EXPECT_TRUE(c.columns[1].rightAligned);
  ASSERT_EQ(c.items.size(), 2u);
  EXPECT_EQ(Row(c, 1), (std::vector<std::string>{"CD", "y"}));
}

TEST(ColumnDetection, RunsOfSeparatorsGiveOneBoundary) {
  std::string text = "a = 1\r\nbb= 2\r\nc = 3";
  EXPECT_EQ(DetectColumns(text, true), (std::vector<int>{4}));
  EXPECT_EQ(text, "a   1\r\nbb  2\r\nc   3");
  std::string single = "ab cd";
  EXPECT_EQ(DetectColumns(single, true), (std::vector<int>{3}));  // one line: every blank counts
  std::string shortLines = "ab\r\nc";
  EXPECT_TRUE(DetectColumns(shortLines, false).empty());
  std::string empty;
  EXPECT_TRUE(DetectColumns(empty, false).empty());
}

}  // namespace
}  // namespace corvan::crash
