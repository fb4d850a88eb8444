// SafeRead against the operating system's own memory map (runs under Wine).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "crash/analysis/SafeRead.h"

namespace corvan::crash {
namespace {

// Three pages: readable, then one with the given protection or state.
class TwoPages {
 public:
  explicit TwoPages(DWORD secondProtection, bool commitSecond = true) {
    base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * Page, MEM_RESERVE, PAGE_NOACCESS));
    VirtualAlloc(base_, Page, MEM_COMMIT, PAGE_READWRITE);
    std::memset(base_, 'a', Page);
    if (commitSecond) VirtualAlloc(base_ + Page, Page, MEM_COMMIT, secondProtection);
  }
  ~TwoPages() { VirtualFree(base_, 0, MEM_RELEASE); }
  char* First() const { return base_; }
  char* Second() const { return base_ + Page; }
  static constexpr std::size_t Page = 4096;

 private:
  char* base_;
};

TEST(SafeRead, CopiesReadableMemory) {
  const char text[] = "readable";
  char buffer[sizeof text] = {};
  EXPECT_TRUE(SafeRead(text, buffer, sizeof text));
  EXPECT_STREQ(buffer, text);
  EXPECT_FALSE(SafeRead(nullptr, buffer, 1));
  EXPECT_TRUE(SafeRead(text, buffer, 0));
}

TEST(SafeRead, RefusesReservedNoAccessAndGuardPages) {
  char buffer[16];
  for (auto [protection, commit] :
       {std::pair{DWORD{PAGE_NOACCESS}, true}, std::pair{DWORD{PAGE_READWRITE}, false},
        std::pair{DWORD{PAGE_READWRITE | PAGE_GUARD}, true}}) {
    TwoPages pages(protection, commit);
    EXPECT_FALSE(SafeRead(pages.Second(), buffer, 1)) << std::hex << protection;
    // A range that starts readable and runs into the page fails as a whole,
    // and the readable prefix is what SafeReadUpTo copies.
    EXPECT_FALSE(SafeRead(pages.Second() - 8, buffer, 16));
    EXPECT_EQ(SafeReadUpTo(pages.Second() - 8, buffer, 16, nullptr), 8u);
    const TDATryRead snapshot = BeginSafeReads();
    EXPECT_FALSE(SafeRead(pages.Second() - 8, buffer, 16, &snapshot));
    EXPECT_TRUE(SafeRead(pages.Second() - 8, buffer, 8, &snapshot));
  }
}

TEST(SafeRead, LeavesGuardPagesArmed) {
  TwoPages pages(PAGE_READWRITE | PAGE_GUARD);
  char buffer[16];
  const TDATryRead snapshot = BeginSafeReads();
  EXPECT_FALSE(SafeRead(pages.Second(), buffer, 4, &snapshot));
  EXPECT_FALSE(SafeRead(pages.Second(), buffer, 4));
  MEMORY_BASIC_INFORMATION info;
  ASSERT_EQ(VirtualQuery(pages.Second(), &info, sizeof info), sizeof info);
  EXPECT_TRUE(info.Protect & PAGE_GUARD) << "a probe must not consume the guard";
}

TEST(SafeRead, StaleSnapshotCannotFault) {
  TwoPages pages(PAGE_READWRITE);
  std::memset(pages.Second(), 'b', TwoPages::Page);
  TDATryRead snapshot = BeginSafeReads();
  char buffer[32];
  ASSERT_TRUE(SafeRead(pages.Second(), buffer, sizeof buffer, &snapshot));
  // The memory changes after the snapshot: the guarded copy catches the fault.
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages.Second(), TwoPages::Page, PAGE_NOACCESS, &old));
  EXPECT_FALSE(SafeRead(pages.Second(), buffer, sizeof buffer, &snapshot));
  EXPECT_EQ(SafeReadUpTo(pages.Second() - 4, buffer, 8, &snapshot), 4u) << "copied up to the fault";
  VirtualFree(pages.Second(), TwoPages::Page, MEM_DECOMMIT);
  EXPECT_FALSE(SafeRead(pages.Second(), buffer, sizeof buffer, &snapshot));
  EndSafeReads(snapshot);
  EXPECT_TRUE(snapshot.Empty());
}

TEST(SafeRead, SnapshotDescribesTheAddressSpace) {
  const TDATryRead snapshot = BeginSafeReads();
  ASSERT_FALSE(snapshot.Empty());
  for (std::size_t i = 1; i < snapshot.Ranges().size(); ++i) {
    EXPECT_EQ(snapshot.Ranges()[i].Start, snapshot.Ranges()[i - 1].Limit);
    EXPECT_NE(snapshot.Ranges()[i].Readable, snapshot.Ranges()[i - 1].Readable);
  }
  const auto code = reinterpret_cast<std::uintptr_t>(&BeginSafeReads);
  EXPECT_TRUE(snapshot.IsReadable(code, 16));
  EXPECT_FALSE(snapshot.IsReadable(0, 1));
}

TEST(SafeReadSession, RefusesWhatSafeReadRefuses) {
  char buffer[16];
  for (auto [protection, commit] :
       {std::pair{DWORD{PAGE_NOACCESS}, true}, std::pair{DWORD{PAGE_READWRITE}, false},
        std::pair{DWORD{PAGE_READWRITE | PAGE_GUARD}, true}}) {
    TwoPages pages(protection, commit);
    TSafeReadSession reads;
    EXPECT_EQ(reads.ReadUpTo(pages.Second(), buffer, 1), 0u) << std::hex << protection;
    EXPECT_EQ(reads.ReadUpTo(pages.Second() - 8, buffer, 16), 8u);
    EXPECT_EQ(reads.ReadUpTo(pages.First(), buffer, 16), 16u);
    EXPECT_EQ(reads.ReadUpTo(nullptr, buffer, 1), 0u);
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(VirtualQuery(pages.Second(), &info, sizeof info), sizeof info);
    EXPECT_EQ(info.Protect, commit ? protection : 0) << "a probe must not consume a guard";
  }
}

// The regions agree with VirtualQuery; free memory is known as free.
TEST(SafeReadSession, RegionsAsTheSystemDescribesThem) {
  TwoPages pages(PAGE_NOACCESS);
  TSafeReadSession reads;
  const auto first = reinterpret_cast<std::uintptr_t>(pages.First());
  const TMemoryRegion* region = reads.Region(first + 100);
  ASSERT_NE(region, nullptr);
  EXPECT_EQ(region->Base, first);
  EXPECT_EQ(region->Limit, first + TwoPages::Page);
  EXPECT_EQ(region->AllocationBase, first);
  EXPECT_TRUE(region->Committed && region->Readable && !region->Free);
  region = reads.Region(first + TwoPages::Page);
  ASSERT_NE(region, nullptr);
  EXPECT_TRUE(region->Committed && !region->Readable);
  EXPECT_EQ(reads.Region(first + 5)->Limit, first + TwoPages::Page) << "remembered";
  const auto code = reinterpret_cast<std::uintptr_t>(&BeginSafeReads);
  ASSERT_NE(reads.Region(code), nullptr);
  EXPECT_TRUE(reads.Region(code)->Readable);
  ASSERT_NE(reads.Region(0), nullptr);
  EXPECT_TRUE(reads.Region(0)->Free);
}

// A verdict remembered by the session goes stale when memory changes; the
// guard still catches the fault.
TEST(SafeReadSession, StaleVerdictCannotFault) {
  TwoPages pages(PAGE_READWRITE);
  char buffer[32];
  TSafeReadSession reads;
  ASSERT_EQ(reads.ReadUpTo(pages.Second(), buffer, sizeof buffer), sizeof buffer);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages.Second(), TwoPages::Page, PAGE_NOACCESS, &old));
  EXPECT_EQ(reads.ReadUpTo(pages.Second(), buffer, sizeof buffer), 0u);
  EXPECT_EQ(reads.ReadUpTo(pages.Second() - 4, buffer, 8), 4u) << "copied up to the fault";
  VirtualFree(pages.Second(), TwoPages::Page, MEM_DECOMMIT);
  EXPECT_EQ(reads.ReadUpTo(pages.Second(), buffer, sizeof buffer), 0u);
}

// Another thread commits and frees memory while a session reads it: every
// read is whole or stops at the change, and none faults.
TEST(SafeReadSession, SurvivesMemoryChangingUnderIt) {
  constexpr std::size_t kSize = 64 * 1024;
  char* block = static_cast<char*>(VirtualAlloc(nullptr, kSize, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(block, nullptr);
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    while (!stop.load()) {
      VirtualAlloc(block, kSize, MEM_COMMIT, PAGE_READWRITE);
      VirtualFree(block, kSize, MEM_DECOMMIT);
    }
  });
  std::vector<char> buffer(kSize);
  std::size_t whole = 0, partial = 0;
  {
    TSafeReadSession reads;
    for (int i = 0; i < 20000; ++i) {
      const std::size_t n = reads.ReadUpTo(block, buffer.data(), kSize);
      (n == kSize ? whole : partial) += 1;
    }
  }
  stop = true;
  changer.join();
  VirtualFree(block, 0, MEM_RELEASE);
  EXPECT_EQ(whole + partial, 20000u);
}

TEST(SafeReadString, StopsAtUnreadableMemory) {
  TwoPages pages(PAGE_NOACCESS);
  std::memcpy(pages.Second() - 3, "abc", 3);  // no terminator before the page ends
  EXPECT_EQ(SafeReadString(pages.Second() - 3, 100), "abc");
  EXPECT_EQ(SafeReadString("hello", 3), "hel");
  EXPECT_EQ(SafeReadString(nullptr, 10), "");
}

}  // namespace
}  // namespace corvan::crash
