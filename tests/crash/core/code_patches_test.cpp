// The patch list over a fake memory: the exact bytes of each patch kind,
// what a failed read or write leaves, and what reverting puts back.
#include "crash/core/CodePatches.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace corvan::crash {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Two pages at 0x401000; pages can be made unreadable or unwritable.
class FakeMemory : public PatchMemory {
 public:
  static constexpr std::uintptr_t kBase = 0x401000;
  FakeMemory() : bytes_(0x2000, 0xCC) {}

  bool Read(std::uintptr_t address, void* out, std::size_t length) override {
    if (!Inside(address, length) || Touches(unreadable, address, length)) return false;
    std::memcpy(out, &bytes_[address - kBase], length);
    return true;
  }
  bool Write(std::uintptr_t address, const void* in, std::size_t length) override {
    if (!Inside(address, length) || Touches(unwritable, address, length)) return false;
    ++writes;
    Poke(address, Bytes(static_cast<const std::uint8_t*>(in),
                        static_cast<const std::uint8_t*>(in) + length));
    return true;
  }

  void Poke(std::uintptr_t address, const Bytes& data) {
    std::memcpy(&bytes_[address - kBase], data.data(), data.size());
  }
  Bytes Peek(std::uintptr_t address, std::size_t length) const {
    return Bytes(bytes_.begin() + (address - kBase), bytes_.begin() + (address - kBase + length));
  }

  std::set<std::uintptr_t> unreadable, unwritable;  // page addresses
  int writes = 0;

 private:
  bool Inside(std::uintptr_t address, std::size_t length) const {
    return address >= kBase && length <= bytes_.size() && address - kBase <= bytes_.size() - length;
  }
  static bool Touches(const std::set<std::uintptr_t>& pages, std::uintptr_t address,
                      std::size_t length) {
    for (std::uintptr_t page = address & ~std::uintptr_t{0xFFF}; page < address + length;
         page += 0x1000)
      if (pages.count(page)) return true;
    return false;
  }
  Bytes bytes_;
};

class CodePatchesTest : public ::testing::Test {
 protected:
  FakeMemory memory_;
  CodePatches patches_{memory_};
};

TEST_F(CodePatchesTest, EachKindWritesItsExactBytesAndRecordsWhatWasThere) {
  memory_.Poke(0x401010, {0x55, 0x8B, 0xEC, 0x83, 0xEC});
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401010, 0x401100));
  EXPECT_EQ(memory_.Peek(0x401010, 5), (Bytes{0xE9, 0xEB, 0x00, 0x00, 0x00}));
  // Backwards, and wrapping modulo 2^32 both ways.
  ASSERT_TRUE(patches_.WriteCallPatch(0x401200, 0x401000));
  EXPECT_EQ(memory_.Peek(0x401200, 5), (Bytes{0xE8, 0xFB, 0xFD, 0xFF, 0xFF}));
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401300, 0x10));
  EXPECT_EQ(memory_.Peek(0x401300, 5), (Bytes{0xE9, 0x0B, 0xED, 0xBF, 0xFF}));
  ASSERT_TRUE(patches_.WriteValuePatch(0x401400, 0x12345678));
  EXPECT_EQ(memory_.Peek(0x401400, 4), (Bytes{0x78, 0x56, 0x34, 0x12}));

  const std::vector<PatchRecord> records = patches_.Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].address, 0x401010u);
  EXPECT_EQ(records[0].oldBytes, (Bytes{0x55, 0x8B, 0xEC, 0x83, 0xEC}));
  EXPECT_EQ(records[0].newBytes, memory_.Peek(0x401010, 5));
  EXPECT_EQ(records[3].address, 0x401400u);
  EXPECT_EQ(records[3].oldBytes, (Bytes{0xCC, 0xCC, 0xCC, 0xCC}));
}

TEST_F(CodePatchesTest, BytesAlreadyInPlaceAreNeitherWrittenNorRecorded) {
  memory_.Poke(0x401400, {0x78, 0x56, 0x34, 0x12});
  EXPECT_TRUE(patches_.WriteValuePatch(0x401400, 0x12345678));
  EXPECT_EQ(memory_.writes, 0);
  EXPECT_TRUE(patches_.Records().empty());
}

TEST_F(CodePatchesTest, AnImportSlotJumpIsPatchedAtTheSlotsDestination) {
  memory_.Poke(0x401020, {0xFF, 0x25, 0x00, 0x18, 0x40, 0x00});  // jmp [0x401800]
  memory_.Poke(0x401800, {0x00, 0x15, 0x40, 0x00});              // -> 0x401500
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401020, 0x401600));
  EXPECT_EQ(memory_.Peek(0x401020, 6), (Bytes{0xFF, 0x25, 0x00, 0x18, 0x40, 0x00}));
  EXPECT_EQ(memory_.Peek(0x401500, 5), (Bytes{0xE9, 0xFB, 0x00, 0x00, 0x00}));
  ASSERT_EQ(patches_.Records().size(), 1u);
  EXPECT_EQ(patches_.Records()[0].address, 0x401500u);

  // A slot that cannot be read, or a destination outside readable memory:
  // no patch, not even at the jump.
  memory_.Poke(0x401030, {0xFF, 0x25, 0x00, 0x90, 0x40, 0x00});
  EXPECT_FALSE(patches_.WriteJumpPatch(0x401030, 0x401600));
  memory_.Poke(0x401804, {0x00, 0x00, 0x00, 0x70});
  memory_.Poke(0x401040, {0xFF, 0x25, 0x04, 0x18, 0x40, 0x00});
  EXPECT_FALSE(patches_.WriteJumpPatch(0x401040, 0x401600));
  EXPECT_EQ(memory_.Peek(0x401030, 2), (Bytes{0xFF, 0x25}));
  EXPECT_EQ(patches_.Records().size(), 1u);
}

TEST_F(CodePatchesTest, AnUnreadableOrUnwritableTargetIsSkippedWithNothingWritten) {
  memory_.unreadable.insert(0x402000);
  EXPECT_FALSE(patches_.WriteJumpPatch(0x402010, 0x401000));
  EXPECT_FALSE(patches_.WriteCallPatch(0x401FFD, 0x401000));  // last bytes on the bad page
  memory_.unreadable.clear();
  memory_.unwritable.insert(0x402000);
  EXPECT_FALSE(patches_.WriteValuePatch(0x401FFE, 1));
  EXPECT_FALSE(patches_.WriteValuePatch(0x403000, 1));  // outside any memory
  EXPECT_EQ(memory_.writes, 0);
  EXPECT_EQ(memory_.Peek(0x401FFD, 8), Bytes(8, 0xCC));
  EXPECT_TRUE(patches_.Records().empty());
}

TEST_F(CodePatchesTest, RevertPutsBackOnlyWhatStillHoldsOurBytes) {
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401010, 0x401100));
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401020, 0x401100));
  ASSERT_TRUE(patches_.WriteValuePatch(0x401FFE, 0xAABBCCDD));  // across two pages
  const Bytes theirs{0xE9, 0x11, 0x22, 0x33, 0x44};
  memory_.Poke(0x401020, theirs);  // someone else hooked it after us
  patches_.RevertPatches();
  EXPECT_EQ(memory_.Peek(0x401010, 5), Bytes(5, 0xCC));
  EXPECT_EQ(memory_.Peek(0x401020, 5), theirs);
  EXPECT_EQ(memory_.Peek(0x401FFE, 4), Bytes(4, 0xCC));
  EXPECT_TRUE(patches_.Records().empty());
  // The list is empty: a second revert changes nothing.
  memory_.Poke(0x401010, {0xE9, 0xEB, 0x00, 0x00, 0x00});
  patches_.RevertPatches();
  EXPECT_EQ(memory_.Peek(0x401010, 1), Bytes{0xE9});
}

TEST_F(CodePatchesTest, PatchesOverOurOwnPatchesRevertToTheOriginal) {
  memory_.Poke(0x401010, {0x55, 0x8B, 0xEC, 0x83, 0xEC});
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401010, 0x401100));
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401010, 0x401200));
  ASSERT_TRUE(patches_.WriteValuePatch(0x401011, 0));  // overlapping, shifted
  patches_.RevertPatches();
  EXPECT_EQ(memory_.Peek(0x401010, 5), (Bytes{0x55, 0x8B, 0xEC, 0x83, 0xEC}));
}

TEST_F(CodePatchesTest, ARevertThatCannotWriteLeavesThePatchAndForgetsIt) {
  ASSERT_TRUE(patches_.WriteJumpPatch(0x401010, 0x401100));
  memory_.unwritable.insert(0x401000);
  patches_.RevertPatches();
  EXPECT_EQ(memory_.Peek(0x401010, 1), Bytes{0xE9});
  EXPECT_TRUE(patches_.Records().empty());
}

}  // namespace
}  // namespace corvan::crash
