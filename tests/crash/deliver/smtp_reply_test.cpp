// The SMTP reply reader: replies fed whole and split at every byte, line
// rules, the AUTH LOGIN offer.
#include <gtest/gtest.h>

#include "crash/deliver/SmtpReply.h"

namespace corvan::crash {
namespace {

using State = SmtpReplyReader::State;

constexpr char kEhlo[] =
    "250-mail.test\r\n250-SIZE 33554432\r\n250-8BITMIME\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n";

// Feeds text in two pieces cut at `cut`; the state after the first piece
// and after both.
std::pair<State, State> FeedSplit(SmtpReplyReader& reader, const std::string& text,
                                  std::size_t cut) {
  const State first = reader.Feed(text.data(), cut);
  return {first, reader.Feed(text.data() + cut, text.size() - cut)};
}

TEST(SmtpReply, SplitAtEveryByteGivesTheSameReply) {
  const std::string text = kEhlo;
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    SmtpReplyReader reader;
    const auto [first, both] = FeedSplit(reader, text, cut);
    // Complete only once the final line's LF is in.
    EXPECT_EQ(first, cut == text.size() ? State::kComplete : State::kCollecting) << cut;
    EXPECT_EQ(both, State::kComplete) << cut;
    EXPECT_EQ(reader.Code(), 250);
    EXPECT_TRUE(reader.OffersAuthLogin()) << cut;
  }
}

TEST(SmtpReply, ALineIsJudgedOnlyWithItsLineEnd) {
  SmtpReplyReader reader;
  // "250" followed by nothing yet may still become "250-...".
  EXPECT_EQ(reader.Feed("250", 3), State::kCollecting);
  EXPECT_EQ(reader.Feed("-first\r", 7), State::kCollecting);
  EXPECT_EQ(reader.Feed("\n250 last\r\n", 11), State::kComplete);
  EXPECT_EQ(reader.Code(), 250);
}

TEST(SmtpReply, RepliesInOnePieceAreTakenOneAtATime) {
  SmtpReplyReader reader;
  const std::string two = "220 ready\r\n250 ok\n354 go";
  EXPECT_EQ(reader.Feed(two.data(), two.size()), State::kComplete);
  EXPECT_EQ(reader.Code(), 220);
  EXPECT_EQ(reader.Next(), State::kComplete);  // bare LF ends a line too
  EXPECT_EQ(reader.Code(), 250);
  EXPECT_EQ(reader.Next(), State::kCollecting);
  EXPECT_EQ(reader.Feed("\r\n", 2), State::kComplete);
  EXPECT_EQ(reader.Code(), 354);
  EXPECT_EQ(reader.Next(), State::kCollecting);
  EXPECT_EQ(reader.Code(), 0);
}

TEST(SmtpReply, MalformedLines) {
  for (const std::string text :
       {"25\r\n", "abc ok\r\n", "250x\r\n", "250-a\r\n251 b\r\n", "\r\n", "2500\r\n"}) {
    SmtpReplyReader reader;
    EXPECT_EQ(reader.Feed(text.data(), text.size()), State::kMalformed) << text;
    EXPECT_EQ(reader.Next(), State::kMalformed);
  }
  SmtpReplyReader bare;
  EXPECT_EQ(bare.Feed("221\r\n", 5), State::kComplete);
  EXPECT_EQ(bare.Code(), 221);
}

TEST(SmtpReply, EndlessRepliesAreRefused) {
  SmtpReplyReader reader;
  const std::string line = "250-" + std::string(1000, 'x') + "\r\n";
  State state = State::kCollecting;
  for (int i = 0; i < 100 && state == State::kCollecting; ++i) {
    state = reader.Feed(line.data(), line.size());
  }
  EXPECT_EQ(state, State::kMalformed);
  SmtpReplyReader noEnd;
  const std::string text(SmtpReplyReader::kMaxReply + 1, '2');
  EXPECT_EQ(noEnd.Feed(text.data(), text.size()), State::kMalformed);
}

TEST(SmtpReply, AuthLoginWhereverLoginStandsInTheList) {
  EXPECT_TRUE(AnnouncesAuthLogin("AUTH LOGIN"));
  EXPECT_TRUE(AnnouncesAuthLogin("AUTH LOGIN PLAIN"));
  EXPECT_TRUE(AnnouncesAuthLogin("AUTH PLAIN LOGIN CRAM-MD5"));
  EXPECT_TRUE(AnnouncesAuthLogin("auth=login"));
  EXPECT_TRUE(AnnouncesAuthLogin("AUTH=PLAIN LOGIN"));
  EXPECT_FALSE(AnnouncesAuthLogin("AUTH PLAIN"));
  EXPECT_FALSE(AnnouncesAuthLogin("AUTH PLAIN XLOGIN LOGINX"));
  EXPECT_FALSE(AnnouncesAuthLogin("AUTHLOGIN"));
  EXPECT_FALSE(AnnouncesAuthLogin("X-AUTH LOGIN"));
  EXPECT_FALSE(AnnouncesAuthLogin("AUTH"));

  SmtpReplyReader reader;
  const std::string legacy = "250-mail\r\n250-AUTH=LOGIN\r\n250 OK\r\n";
  reader.Feed(legacy.data(), legacy.size());
  EXPECT_TRUE(reader.OffersAuthLogin());
  // Each reply is judged on its own.
  const std::string next = "250 OK\r\n";
  reader.Next();
  reader.Feed(next.data(), next.size());
  EXPECT_FALSE(reader.OffersAuthLogin());
}

}  // namespace
}  // namespace corvan::crash
