#include "ui/IntegerText.h"

#include <gtest/gtest.h>

namespace corvan::ui {
namespace {

TEST(ParseInteger, Numbers) {
  EXPECT_EQ(ParseInteger("1"), 1);
  EXPECT_EQ(ParseInteger("1000"), 1000);
  EXPECT_EQ(ParseInteger("0"), 0);
  EXPECT_EQ(ParseInteger("-5"), -5);
  EXPECT_EQ(ParseInteger("+7"), 7);
  EXPECT_EQ(ParseInteger("  12 "), 12);
  EXPECT_EQ(ParseInteger("007"), 7);
  EXPECT_EQ(ParseInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseInteger("-2147483648"), INT32_MIN);
}

TEST(ParseInteger, JunkGivesNoValue) {
  for (const char* text : {"", " ", "abc", "12a", "1 2", "1.5", "+-1", "-+1", "++1", "--1", "0x10",
                           "2147483648", "-2147483649", "99999999999999999999"}) {
    EXPECT_FALSE(ParseInteger(text).has_value()) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace corvan::ui
