// The parts of the reporter's entry unit that work on plain memory.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "crash/core/zelExcept.h"

namespace corvan::crash {
namespace {

// One committed page followed by an inaccessible one.
class PageBeforeAHole : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(base_, nullptr);
    ASSERT_NE(VirtualAlloc(base_, kPage, MEM_COMMIT, PAGE_READWRITE), nullptr);
  }
  void TearDown() override { VirtualFree(base_, 0, MEM_RELEASE); }

  static constexpr std::size_t kPage = 4096;
  char* base_ = nullptr;
};

TEST_F(PageBeforeAHole, CopyToViewNeverWritesBeyondTheCommittedRegion) {
  const std::string report(10000, 'r');
  // The caller claims a megabyte; the view is one page.
  EXPECT_EQ(CopyToView(base_, 1 << 20, report), kPage - 1);
  EXPECT_EQ(base_[kPage - 2], 'r');
  EXPECT_EQ(base_[kPage - 1], '\0');
  // From the middle of the page: what is left of it.
  EXPECT_EQ(CopyToView(base_ + 1000, 1 << 20, report), kPage - 1000 - 1);
}

TEST_F(PageBeforeAHole, CopyToViewHonoursTheClaimedSize) {
  EXPECT_EQ(CopyToView(base_, 100, std::string(500, 'x')), 99u);
  EXPECT_EQ(base_[98], 'x');
  EXPECT_EQ(base_[99], '\0');
  EXPECT_EQ(base_[100], '\0');  // untouched (the page started zeroed)
  EXPECT_EQ(CopyToView(base_, 100, "short"), 5u);
  EXPECT_STREQ(base_, "short");
  EXPECT_EQ(CopyToView(base_, 0, "none"), 0u);
  EXPECT_EQ(CopyToView(base_ + kPage, 100, "hole"), 0u);
}

}  // namespace
}  // namespace corvan::crash
