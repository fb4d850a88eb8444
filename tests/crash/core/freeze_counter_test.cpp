// The watchdog's counting: ten silent pings make a report, further
// reports of the same freeze come half as late again, any answer starts
// over, and no timeout makes it spin.
#include "crash/core/FreezeCounter.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

// Pings until a report is due; the time that took.
std::uint64_t MissUntilReport(FreezeCounter& counter) {
  std::uint64_t waited = 0;
  for (int i = 0; i < 100; ++i) {
    waited += counter.IntervalMs();
    if (counter.Missed()) return waited;
  }
  ADD_FAILURE() << "no report after 100 misses";
  return waited;
}

TEST(FreezeCounter, ReportsAfterTenMissesThenHalfAsLateAgain) {
  FreezeCounter counter(60000);
  EXPECT_EQ(counter.IntervalMs(), 6000u);
  EXPECT_EQ(MissUntilReport(counter), 60000u);
  counter.Reported();
  EXPECT_EQ(counter.Misses(), 0);
  EXPECT_EQ(MissUntilReport(counter), 90000u);
  counter.Reported();
  EXPECT_EQ(counter.IntervalMs(), 13500u);
  // The main thread answers: back to the first interval.
  counter.Answered();
  EXPECT_EQ(counter.IntervalMs(), 6000u);
  EXPECT_EQ(MissUntilReport(counter), 60000u);
}

TEST(FreezeCounter, AnyAnswerOrResetStartsTheCountOver) {
  FreezeCounter counter(1000);
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(counter.Missed());
  counter.Answered();
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(counter.Missed());
  counter.ResetMisses();
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(counter.Missed());
  EXPECT_TRUE(counter.Missed());
}

TEST(FreezeCounter, ShortOrBadTimeoutsNeverSpin) {
  for (int timeout : {0, 1, 9, -5, -2147483647 - 1})
    EXPECT_EQ(FreezeCounter(timeout).IntervalMs(), 1u);
  EXPECT_EQ(FreezeCounter(10).IntervalMs(), 1u);
  EXPECT_EQ(FreezeCounter(25).IntervalMs(), 2u);
  FreezeCounter one(5);
  one.Reported();
  EXPECT_EQ(one.IntervalMs(), 1u);  // 1 + 1/2 stays a wait of 1 ms
  // Growth stops below an infinite wait.
  FreezeCounter longest(2147483647);
  for (int i = 0; i < 10; ++i) longest.Reported();
  EXPECT_EQ(longest.IntervalMs(), 0x7fffffffu);
}

}  // namespace
}  // namespace corvan::crash
