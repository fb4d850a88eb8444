// SafeRead against the operating system's own memory map (runs under Wine).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

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

TEST(SafeReadString, StopsAtUnreadableMemory) {
  TwoPages pages(PAGE_NOACCESS);
  std::memcpy(pages.Second() - 3, "abc", 3);  // no terminator before the page ends
  EXPECT_EQ(SafeReadString(pages.Second() - 3, 100), "abc");
  EXPECT_EQ(SafeReadString("hello", 3), "hel");
  EXPECT_EQ(SafeReadString(nullptr, 10), "");
}

}  // namespace
}  // namespace corvan::crash
