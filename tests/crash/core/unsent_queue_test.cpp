// The bookkeeping of kept reports: entry names that sort by age and tell
// complete from half-written entries, the index that lists an entry's
// files (any damage makes it broken, never half-read), and the bounds.
#include <gtest/gtest.h>

#include "crash/core/UnsentQueue.h"

namespace corvan::crash {
namespace {

using Names = std::vector<std::string>;

TEST(KeptEntryNames, SortByAgeAndTellPartialFromComplete) {
  const std::string first = KeptEntryName({2026, 12, 9, 14, 3, 7}, 0x1a2b, 9);
  EXPECT_EQ(first, "20261209-140307-00001a2b-000009");
  EXPECT_LT(first, KeptEntryName({2026, 12, 9, 14, 3, 7}, 0x1a2b, 10));
  EXPECT_LT(first, KeptEntryName({2026, 12, 9, 14, 3, 8}, 0x1a2b, 1));
  EXPECT_LT(KeptEntryName({2026, 9, 30, 23, 59, 59}, 0xffffffff, 999999), first);

  EXPECT_EQ(ClassifyEntryName(first), EntryState::Complete);
  EXPECT_EQ(ClassifyEntryName(first + ".part"), EntryState::Partial);
  for (const std::string& foreign :
       {std::string("desktop.ini"), std::string(".part"), first + ".part.part", first + "x",
        std::string("20261209-140307-00001A2B-000009"),
        std::string("2026129-140307-00001a2b-000009"), std::string("20261209-140307-00001a2b"),
        std::string("20261209-140307-00001a2b-00009"),
        std::string("20261209-140307-00001a2b-000009-1")}) {
    EXPECT_EQ(ClassifyEntryName(foreign), EntryState::Foreign) << foreign;
  }
}

TEST(KeptEntryNames, StoredNamesStayInsideTheEntry) {
  EXPECT_EQ(StoredFileName(1, "bugreport.txt"), "1-bugreport.txt");
  EXPECT_EQ(StoredFileName(2, "..\\..\\boot.ini"), "2-.._.._boot.ini");
  EXPECT_EQ(StoredFileName(3, "a/b:c*d?e\"f<g>h|i\tj"), "3-a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(StoredFileName(4, "trailing. . "), "4-trailing");
  EXPECT_EQ(StoredFileName(5, ""), "5-");
}

const std::vector<KeptFile> kFiles = {
    {"report.txt", "bugreport.txt", "BugReport", ""},
    {"2-screenshot.png", "screenshot.png", "ScreenShot", "pics.zip"},
    {"3-log.txt", "log.txt", "", ""}};

TEST(KeptIndex, RoundTripsEveryField) {
  const std::string text = FormatKeptIndex(kFiles);
  EXPECT_EQ(text,
            "CorVAN unsent report 1\r\n"
            "file\treport.txt\tbugreport.txt\tBugReport\t\r\n"
            "file\t2-screenshot.png\tscreenshot.png\tScreenShot\tpics.zip\r\n"
            "file\t3-log.txt\tlog.txt\t\t\r\n"
            "end\r\n");
  EXPECT_EQ(ParseKeptIndex(text), kFiles);
  EXPECT_EQ(ParseKeptIndex(FormatKeptIndex({})), std::vector<KeptFile>{});
  // Tabs and line ends inside a name cannot split the line.
  const std::vector<KeptFile> odd = {{"1-a", "a\tb\r\nc", "f", "z"}};
  EXPECT_EQ(ParseKeptIndex(FormatKeptIndex(odd)),
            (std::vector<KeptFile>{{"1-a", "a b  c", "f", "z"}}));
}

TEST(KeptIndex, EveryCutIsBroken) {
  const std::string text = FormatKeptIndex(kFiles);
  for (std::size_t size = 0; size < text.size(); ++size) {
    EXPECT_EQ(ParseKeptIndex(text.substr(0, size)), std::nullopt) << size;
  }
}

TEST(KeptIndex, LinesOfAnotherShapeAreBroken) {
  const std::string head = "CorVAN unsent report 1\r\n", end = "end\r\n";
  for (const std::string_view line :
       {"file\t1-a\tsend\tfield\r\n", "file\t1-a\tsend\tfield\tzip\textra\r\n",
        "File\t1-a\tsend\tfield\tzip\r\n", "file\t\tsend\tfield\tzip\r\n",
        "file\t..\tsend\tfield\tzip\r\n", "file\t..\\bugreport.txt\tsend\tfield\tzip\r\n",
        "file\tC:x\tsend\tfield\tzip\r\n", "file\tsub/x\tsend\tfield\tzip\r\n", "\r\n"}) {
    EXPECT_EQ(ParseKeptIndex(head + std::string(line) + end), std::nullopt) << line;
  }
  EXPECT_EQ(ParseKeptIndex("CorVAN unsent report 2\r\nend\r\n"), std::nullopt);
  EXPECT_EQ(ParseKeptIndex(head + end + end), std::nullopt);
  EXPECT_EQ(ParseKeptIndex(std::string("\0\0\0", 3)), std::nullopt);
  // Line feeds alone are fine (an editor may have touched the file).
  EXPECT_EQ(ParseKeptIndex("CorVAN unsent report 1\nfile\t1-a\ta\t\t\nend\n"),
            (std::vector<KeptFile>{{"1-a", "a", "", ""}}));
}

// A stored name that Windows opens as a device (the console, a serial
// port) or as another file is no file of the entry.
TEST(KeptIndex, SecurityDeviceNamesAndControlBytesAreBroken) {
  const std::string head = "CorVAN unsent report 1\r\n", end = "end\r\n";
  for (const char* name :
       {"CON", "con", "PRN", "AUX", "NUL", "nul.txt", "NUL .txt", "COM1", "com9.log", "LPT1",
        "lpt0", "COM\xB9", "CONIN$", "conout$.x", "a.", "a "}) {
    EXPECT_EQ(ParseKeptIndex(head + "file\t" + name + "\tsend\tfield\tzip\r\n" + end), std::nullopt)
        << name;
  }
  // Nor does a field with a control byte (the writer never puts one there).
  for (const char* line : {"file\t1-a\tse\rnd\tfield\tzip\r\n", "file\t1-a\tsend\tfi\x01\tzip\r\n",
                           "file\t1-a\tsend\tfield\tz\rip\r\n"}) {
    EXPECT_EQ(ParseKeptIndex(head + line + end), std::nullopt) << line;
  }
  for (const char* name : {"CONSOLE", "COM10", "1-CON", "nul_", "LPT", "x.con"}) {
    EXPECT_NE(ParseKeptIndex(head + "file\t" + name + "\tsend\tfield\tzip\r\n" + end), std::nullopt)
        << name;
  }
}

std::vector<ListedEntry> Entries(std::vector<std::uint64_t> sizes) {
  std::vector<ListedEntry> entries;
  for (std::size_t i = 0; i < sizes.size(); ++i)
    entries.push_back({KeptEntryName({2026, 12, 9, 10, 0, static_cast<int>(i)}, 1, 1), sizes[i]});
  return entries;
}

std::string Name(int second) { return KeptEntryName({2026, 12, 9, 10, 0, second}, 1, 1); }

TEST(QueueBounds, TheOldestGoFirst) {
  EXPECT_EQ(EntriesOverBounds(Entries({1, 1, 1, 1}), {3, 100}), Names{Name(0)});
  EXPECT_EQ(EntriesOverBounds(Entries({1, 1, 1, 1}), {4, 100}), Names{});
  // Bytes: the newest three fit into 30, the oldest does not fit with them.
  EXPECT_EQ(EntriesOverBounds(Entries({10, 10, 10, 10}), {10, 30}), Names{Name(0)});
  EXPECT_EQ(EntriesOverBounds(Entries({10, 10, 10, 10}), {10, 29}), (Names{Name(0), Name(1)}));
  // Once one does not fit, older small ones go as well.
  EXPECT_EQ(EntriesOverBounds(Entries({1, 25, 10}), {10, 30}), (Names{Name(0), Name(1)}));
  // Listing order does not matter.
  std::vector<ListedEntry> shuffled = Entries({1, 1, 1});
  std::swap(shuffled[0], shuffled[2]);
  EXPECT_EQ(EntriesOverBounds(shuffled, {2, 100}), Names{Name(0)});
}

TEST(QueueBounds, TooLargeAloneGoesAloneAndZeroBoundsKeepNothing) {
  EXPECT_EQ(EntriesOverBounds(Entries({5, 5, 50}), {10, 20}), Names{Name(2)});
  EXPECT_EQ(EntriesOverBounds(Entries({1, 1}), {0, 100}), (Names{Name(0), Name(1)}));
  EXPECT_EQ(EntriesOverBounds(Entries({1, 0}), {5, 0}), Names{Name(0)});
  EXPECT_EQ(EntriesOverBounds(Entries({1}), {-1, 10}), Names{Name(0)});
  // Sizes near the top of the range do not wrap around.
  EXPECT_EQ(EntriesOverBounds(Entries({UINT64_MAX - 1, 2}), {5, UINT64_MAX}), Names{Name(0)});
}

}  // namespace
}  // namespace corvan::crash
