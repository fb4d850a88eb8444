#include <gtest/gtest.h>

#include "crash/analysis/x86/TryReadMap.h"

namespace corvan::crash {
namespace {

TEST(TDATryRead, MergesNeighboursAndChecksWholeRanges) {
  TDATryRead map;
  map.Append(0x0000, 0x1000, false);
  map.Append(0x1000, 0x2000, true);
  map.Append(0x2000, 0x3000, true);   // merges with the previous one
  map.Append(0x3000, 0x4000, false);  // a guard page, say
  map.Append(0x6000, 0x7000, true);   // after a gap
  ASSERT_EQ(map.Ranges().size(), 4u);
  EXPECT_EQ(map.Ranges()[1].Limit, 0x3000u);
  EXPECT_EQ(map.Ranges()[2].Limit, 0x6000u) << "the guard page and the gap after it";
  for (std::size_t i = 1; i < map.Ranges().size(); ++i) {
    EXPECT_NE(map.Ranges()[i].Readable, map.Ranges()[i - 1].Readable);
  }

  EXPECT_TRUE(map.IsReadable(0x1000, 0x2000));
  EXPECT_TRUE(map.IsReadable(0x2FFF, 1));
  // The first byte alone is not enough: a copy must not run into the guard page.
  EXPECT_FALSE(map.IsReadable(0x2FF0, 0x20));
  EXPECT_EQ(map.ReadableFrom(0x2FF0, 0x20), 0x10u);
  EXPECT_FALSE(map.IsReadable(0x0FFF, 2));
  EXPECT_FALSE(map.IsReadable(0x5000, 1));
  EXPECT_TRUE(map.IsReadable(0x6000, 0x1000));
  EXPECT_FALSE(map.IsReadable(0x6000, 0x1001));
  EXPECT_FALSE(map.IsReadable(0x9000, 1)) << "beyond the last range";
  EXPECT_FALSE(map.IsReadable(~std::uintptr_t{0}, 2)) << "wrapping range";
}

}  // namespace
}  // namespace corvan::crash
