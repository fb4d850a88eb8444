// The parts of the reporter's entry unit that work on plain memory, and
// the calibration its start-up applies to this program, against what
// objdump says of the program's sections (written beside it by the build).
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/MapTables.h"
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

struct SectionFacts {
  std::uint32_t size = 0, vma = 0;
};

bool IsHex32(const std::string& s) {
  return s.size() == 8 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// "objdump -h -p" of this program: its preferred base and its sections.
bool ReadObjdump(std::uint32_t& imageBase, std::map<std::string, SectionFacts>& sections) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::ifstream in(std::string(path) + ".sections.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string first, name, size, vma;
    fields >> first;
    if (first == "ImageBase") {
      fields >> std::hex >> imageBase;
    } else if (!first.empty() && first.find_first_not_of("0123456789") == std::string::npos &&
               fields >> name >> size >> vma && name[0] == '.' && IsHex32(size) && IsHex32(vma)) {
      sections[name] = {static_cast<std::uint32_t>(std::stoul(size, nullptr, 16)),
                        static_cast<std::uint32_t>(std::stoul(vma, nullptr, 16))};
    }
  }
  return imageBase && sections.count(".text") && sections.count(".data") && sections.count(".bss");
}

TEST(Calibration, StartUpMakesTheHeaderDescribeTheRealCodeAndData) {
  std::uint32_t imageBase = 0;
  std::map<std::string, SectionFacts> s;
  ASSERT_TRUE(ReadObjdump(imageBase, s));
  const std::uint32_t text = s[".text"].vma - imageBase, data = s[".data"].vma - imageBase,
                      bss = s[".bss"].vma - imageBase;
  HMODULE self = GetModuleHandleA(nullptr);
  const IMAGE_OPTIONAL_HEADER32& h = ImageNtHeaders(self)->OptionalHeader;
  EXPECT_EQ(h.BaseOfCode, text);
  EXPECT_EQ(h.SizeOfCode, s[".text"].size);
  EXPECT_EQ(h.BaseOfData, data);
  EXPECT_EQ(h.SizeOfInitializedData, bss - data);
  EXPECT_EQ(h.SizeOfUninitializedData, s[".bss"].size);

  // The stack tracer's module ranges: all of .text, and .data to the end
  // of .bss.
  const LiveModuleBytes bytes(self);
  const PeImage image(bytes, ImageLayout::Mapped);
  TMapFile ranges;
  const Address base = static_cast<Address>(reinterpret_cast<std::uintptr_t>(self));
  SetModuleRanges(ranges, image, bytes, base);
  EXPECT_EQ(ranges.CodeStart, base + text);
  EXPECT_EQ(ranges.CodeEnd, base + text + s[".text"].size);
  EXPECT_EQ(ranges.DataStart, base + data);
  EXPECT_EQ(ranges.DataEnd, base + bss + s[".bss"].size);
}

}  // namespace
}  // namespace corvan::crash
