// The progress window's model: weighted bar position, area moves, texts,
// and the picture blending. Portable (native and Wine).
#include <gtest/gtest.h>

#include "crash/codec/AlphaPicture.h"
#include "crash/ui/ProgressAreas.h"

namespace corvan::crash {
namespace {

TEST(ProgressAreas, BarIsTheWeightedOverallProgress) {
  ProgressAreas areas;
  areas.Add("a", 100);
  areas.Add("b", 300);
  EXPECT_TRUE(areas.SetCurrent(1));
  areas.SetPosition(500);
  EXPECT_EQ(areas.BarPosition(), 625);
  areas.SetPosition(333);  // (100 + 300 * 333 / 1000) * 1000 / 400, truncated
  EXPECT_EQ(areas.BarPosition(), (100 + 99) * 1000 / 400);
  areas.SetPosition(5000);  // clamped
  EXPECT_EQ(areas.Position(), 1000);
  EXPECT_EQ(areas.BarPosition(), 1000);
}

TEST(ProgressAreas, NoAreasOrNoWeightGiveZero) {
  ProgressAreas areas;
  areas.SetPosition(700);
  EXPECT_EQ(areas.BarPosition(), 0);
  areas.Add("zero", 0);
  EXPECT_EQ(areas.BarPosition(), 0);
  areas.Clear();
  EXPECT_EQ(areas.Count(), 0u);
  EXPECT_EQ(areas.TotalWeight(), 0u);
  EXPECT_EQ(areas.CurrentText(), "");
}

TEST(ProgressAreas, HugeWeightsDoNotOverflow) {
  ProgressAreas areas;
  areas.Add("a", UINT64_MAX / 4);
  areas.Add("b", UINT64_MAX / 4);
  areas.SetCurrent(1);
  areas.SetPosition(1000);
  EXPECT_EQ(areas.BarPosition(), 1000);
  areas.SetPosition(0);
  EXPECT_EQ(areas.BarPosition(), 500);
}

TEST(ProgressAreas, MovingBetweenAreas) {
  ProgressAreas areas;
  areas.Add("", 1);  // the first area may stay without text
  areas.Add("second", 1);
  areas.Add("", 1);  // takes the text before it
  EXPECT_EQ(areas.CurrentText(), "");
  EXPECT_FALSE(areas.SetCurrent(0));  // already there
  EXPECT_FALSE(areas.SetCurrent(-1));
  EXPECT_FALSE(areas.SetCurrent(4));
  areas.SetPosition(600);
  EXPECT_TRUE(areas.SetCurrent(2));
  EXPECT_EQ(areas.Position(), 0);
  EXPECT_EQ(areas.CurrentText(), "second");
  EXPECT_EQ(areas.RemainingTexts(), std::vector<std::string>{"second"});
  EXPECT_TRUE(areas.SetCurrent(3));  // all done: last area, full
  EXPECT_EQ(areas.Current(), 2);
  EXPECT_EQ(areas.Position(), 1000);
  EXPECT_EQ(areas.BarPosition(), 1000);
  areas.SetCurrent(0);
  EXPECT_EQ(areas.RemainingTexts(), (std::vector<std::string>{"", "second", "second"}));
}

TEST(AlphaPicture, BlendsOverTheBackground) {
  const std::uint32_t face = 0x00F0E0D0;  // blue F0, green E0, red D0
  const std::uint8_t pixels[] = {
      10,  20,  30, 255,  // opaque: the pixel itself
      10,  20,  30, 0,    // transparent: a = 1, almost the background
      200, 100, 0,  127,  // half
  };
  std::uint8_t out[12];
  BlendPicture(pixels, 3, face, out);
  EXPECT_EQ(out[0], 10);
  EXPECT_EQ(out[1], 20);
  EXPECT_EQ(out[2], 30);
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(out[4], (255 * 0xF0 + 1 * 10) / 256);
  EXPECT_EQ(out[6], (255 * 0xD0 + 1 * 30) / 256);
  EXPECT_EQ(out[8], (128 * 0xF0 + 128 * 200) / 256);
  EXPECT_EQ(out[9], (128 * 0xE0 + 128 * 100) / 256);
  EXPECT_EQ(out[10], (128 * 0xD0 + 128 * 0) / 256);
  EXPECT_EQ(AlphaPictureBytes(32), 40u + 4096u);
}

}  // namespace
}  // namespace corvan::crash
