// The queue folder on disk under Wine: what an entry holds once kept, what
// a listing makes of half-written and damaged entries, and the bounds
// applied to real folders.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/KeptReports.h"
#include "crash/core/UnsentQueue.h"

namespace corvan::crash {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> Listing(const std::string& folder) {
  return corvan::test::FolderNames(folder);
}

void RemoveTree(const std::string& path) {
  for (const std::string& name : Listing(path)) {
    const std::string child = path + "\\" + name;
    if (GetFileAttributesA(child.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(child);
    } else {
      DeleteFileA(child.c_str());
    }
  }
  RemoveDirectoryA(path.c_str());
}

class QueueFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    base = std::string(temp) + "corvan-queue-" + std::to_string(GetCurrentProcessId());
    RemoveTree(base);
    CreateDirectoryA(base.c_str(), nullptr);
    // The queue folder itself is made on first use, with its parents.
    folder = base + "\\program\\unsent";
    WriteFile(base + "\\log.txt", "log line\r\n");
    WriteFile(base + "\\big.bin", std::string(3000, 'b'));
  }
  void TearDown() override { RemoveTree(base); }

  std::string Keep(const std::string& text, QueueBounds bounds = {10, 1 << 20}) {
    return KeepReport(folder, text,
                      {{"", "bugreport.txt", "", "BugReport"},
                       {base + "\\log.txt", "my log.txt", "logs.zip", "Log"},
                       {base + "\\missing.txt", "missing.txt", "", "Missing"}},
                      bounds);
  }

  std::string base, folder;
};

TEST_F(QueueFolder, KeptReportHoldsTheTextAndTheFilesThatExist) {
  const std::string name = Keep("the report\r\n");
  ASSERT_EQ(ClassifyEntryName(name), EntryState::Complete) << name;
  EXPECT_EQ(Listing(folder), std::vector<std::string>{name});
  const std::string entry = folder + "\\" + name;
  EXPECT_EQ(Listing(entry), (std::vector<std::string>{"2-my log.txt", "entry.txt", "report.txt"}));
  EXPECT_EQ(ReadFile(entry + "\\report.txt"), "the report\r\n");
  EXPECT_EQ(ReadFile(entry + "\\2-my log.txt"), "log line\r\n");

  const KeptReports kept = ListKeptReports(folder);
  EXPECT_TRUE(kept.notes.empty());
  ASSERT_EQ(kept.reports.size(), 1u);
  EXPECT_EQ(kept.reports[0].name, name);
  EXPECT_EQ(kept.reports[0].text, "the report\r\n");
  EXPECT_EQ(
      kept.reports[0].attachments,
      (std::vector<AttachmentEntry>{{entry + "\\report.txt", "bugreport.txt", "", "BugReport"},
                                    {entry + "\\2-my log.txt", "my log.txt", "logs.zip", "Log"}}));

  EXPECT_TRUE(RemoveKeptReport(folder, name));
  EXPECT_TRUE(Listing(folder).empty());
}

TEST_F(QueueFolder, HalfWrittenAndDamagedEntriesAreSkippedWithANote) {
  const std::string good = Keep("good\r\n");
  // A writer that died before its rename.
  const std::string partial = KeptEntryName({2026, 1, 1, 0, 0, 0}, 7, 1) + ".part";
  CreateDirectoryA((folder + "\\" + partial).c_str(), nullptr);
  WriteFile(folder + "\\" + partial + "\\report.txt", "half");
  // A complete entry whose index was cut, one without its text, one empty.
  const std::string cut = KeptEntryName({2026, 1, 1, 0, 0, 1}, 7, 1);
  CreateDirectoryA((folder + "\\" + cut).c_str(), nullptr);
  WriteFile(folder + "\\" + cut + "\\report.txt", "text");
  WriteFile(folder + "\\" + cut + "\\entry.txt", "CorVAN unsent report 1\r\nfile\t1-a\ta\t");
  const std::string textless = KeptEntryName({2026, 1, 1, 0, 0, 2}, 7, 1);
  CreateDirectoryA((folder + "\\" + textless).c_str(), nullptr);
  WriteFile(folder + "\\" + textless + "\\entry.txt", "CorVAN unsent report 1\r\nend\r\n");
  const std::string empty = KeptEntryName({2026, 1, 1, 0, 0, 3}, 7, 1);
  CreateDirectoryA((folder + "\\" + empty).c_str(), nullptr);
  // Things that are not ours stay untouched.
  WriteFile(folder + "\\desktop.ini", "x");
  CreateDirectoryA((folder + "\\other").c_str(), nullptr);

  const KeptReports kept = ListKeptReports(folder);
  ASSERT_EQ(kept.reports.size(), 1u);
  EXPECT_EQ(kept.reports[0].name, good);
  EXPECT_EQ(kept.notes,
            (std::vector<std::string>{partial + ": not complete, skipped",
                                      cut + ": index broken, skipped and removed",
                                      textless + ": report text missing, skipped and removed",
                                      empty + ": index broken, skipped and removed"}));
  // The damaged complete ones are gone; the partial one may still be being
  // written by another process.
  EXPECT_EQ(Listing(folder), (std::vector<std::string>{partial, good, "desktop.ini", "other"}));
  RemoveKeptReports(folder);
  EXPECT_EQ(Listing(folder), (std::vector<std::string>{partial, "desktop.ini", "other"}));
}

TEST_F(QueueFolder, StalePartialEntriesAreRemoved) {
  const std::string partial = KeptEntryName({2026, 1, 1, 0, 0, 0}, 7, 1) + ".part";
  const std::string path = folder + "\\" + partial;
  KeepReport(folder, "makes the folder", {}, {10, 1 << 20});
  CreateDirectoryA(path.c_str(), nullptr);
  HANDLE handle = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER old{{now.dwLowDateTime, now.dwHighDateTime}};
  old.QuadPart -= 25ull * 3600 * 10000000;
  const FILETIME written{old.LowPart, old.HighPart};
  ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &written));
  CloseHandle(handle);
  const KeptReports kept = ListKeptReports(folder);
  EXPECT_EQ(kept.reports.size(), 1u);
  EXPECT_EQ(kept.notes, std::vector<std::string>{partial + ": never completed, removed"});
  EXPECT_FALSE(Exists(path));
}

TEST_F(QueueFolder, BoundsDropTheOldest) {
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) names.push_back(Keep("report " + std::to_string(i), {3, 1 << 20}));
  std::vector<std::string> expected(names.begin() + 1, names.end());
  EXPECT_EQ(Listing(folder), expected);
  // 132 bytes each (text, log, index), 3061 with the big file: the big one
  // and the newest small one fit into 3250, the next would not.
  const std::string big =
      KeepReport(folder, "big", {{base + "\\big.bin", "big.bin", "", "Big"}}, {3, 3250});
  ASSERT_FALSE(big.empty());
  EXPECT_EQ(Listing(folder), (std::vector<std::string>{names[3], big}));
  // One that breaks the bound alone is not kept at all.
  EXPECT_EQ(KeepReport(folder, "too big", {{base + "\\big.bin", "big.bin", "", "Big"}}, {3, 2000}),
            "");
  EXPECT_EQ(Listing(folder), std::vector<std::string>{names[3]});
}

TEST_F(QueueFolder, AFolderThatCannotBeMadeKeepsNothing) {
  WriteFile(base + "\\blocked", "a file where the folder would go");
  EXPECT_EQ(KeepReport(base + "\\blocked\\unsent", "text", {}, {10, 1 << 20}), "");
  EXPECT_EQ(KeepReport("", "text", {}, {10, 1 << 20}), "");
  EXPECT_TRUE(ListKeptReports(base + "\\blocked\\unsent").reports.empty());
}

}  // namespace
}  // namespace corvan::crash
