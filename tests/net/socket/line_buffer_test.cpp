// The line buffer: line ends split over reads, editing, partial reads.
#include <gtest/gtest.h>

#include <string>

#include "net/socket/NetLineBuffer.h"

namespace corvan::net {
namespace {

std::string ReadLine(TLineBuffer& b) {
  std::string out(b.LineLength(), '\0');
  out.resize(b.Read(out.data(), out.size(), true));
  return out;
}

TEST(LineBuffer, TwoLinesInOneRead) {
  TLineBuffer b;
  std::string echo;
  b.Add("one\r\ntwo\r\nrest", false, echo);
  EXPECT_EQ(echo, "one\r\ntwo\r\nrest");
  ASSERT_TRUE(b.FindLine("\r\n", 0));
  EXPECT_EQ(ReadLine(b), "one\r\n");
  ASSERT_TRUE(b.FindLine("\r\n", 0));
  EXPECT_EQ(ReadLine(b), "two\r\n");
  EXPECT_FALSE(b.FindLine("\r\n", 0));
  EXPECT_EQ(b.Size(), 4u);
}

TEST(LineBuffer, LineEndSplitOverReads) {
  TLineBuffer b;
  std::string echo;
  b.Add("abc\r", false, echo);
  EXPECT_FALSE(b.FindLine("\r\n", 0));
  const std::size_t old = b.Size();
  b.Add("\nx", false, echo);
  ASSERT_TRUE(b.FindLine("\r\n", old));
  EXPECT_EQ(b.LineLength(), 5u);
}

TEST(LineBuffer, ReadsNeverPassTheLine) {
  TLineBuffer b;
  std::string echo;
  b.Add("ab\nnext", false, echo);
  ASSERT_TRUE(b.FindLine("\n", 0));
  char out[16];
  EXPECT_EQ(b.Read(out, 2, true), 2u);
  EXPECT_EQ(b.LineLength(), 1u);
  EXPECT_EQ(b.Read(out, sizeof out, true), 1u);
  EXPECT_EQ(b.Read(out, sizeof out, true), 0u);
  EXPECT_EQ(b.Read(out, sizeof out, false), 4u);
  EXPECT_EQ(std::string(out, 4), "next");
}

TEST(LineBuffer, EditingRemovesAndExpands) {
  TLineBuffer b;
  std::string echo;
  b.Add("ab", true, echo);
  b.Add("\bc\td\b\b", true, echo);
  std::string out(b.Size(), '\0');
  b.Read(out.data(), out.size(), false);
  EXPECT_EQ(out, "ac     ");  // the second backspace took a space of the tab
  EXPECT_EQ(echo, "ab\b \bc      d\b \b\b \b");
  echo.clear();
  b.Add("\b", true, echo);  // nothing left to remove
  EXPECT_EQ(echo, "");
}

TEST(LineBuffer, TickElapsedSurvivesTheWrap) {
  EXPECT_EQ(TickElapsed(0xFFFFFF00u, 0x00000100u), 0x200u);
  EXPECT_EQ(TickElapsed(1000, 1500), 500u);
}

}  // namespace
}  // namespace corvan::net
