#include "updater/net/time_budget.h"

#include <gtest/gtest.h>

namespace {

using NetModel::TimeValue;

TEST(TimeBudget, ElapsedTimeBetweenTickReadings) {
  struct Case {
    std::uint32_t start, end;
    TimeValue elapsed;
  } cases[] = {
      {1000, 1000, {0, 0}},
      {1000, 1999, {0, 999000}},
      {1999, 2000, {0, 1000}},  // across a second boundary of the readings
      {999, 86999, {86, 0}},
      // The 32-bit counter wrapped in between: still the short true time.
      {0xFFFFFF00u, 0x00000064u, {0, 356000}},
      {0xFFFFFFFFu, 0x000003E7u, {1, 0}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NetModel::ElapsedBetween(c.start, c.end), c.elapsed) << c.start << " -> " << c.end;
}

TEST(TimeBudget, ExhaustedOnceElapsedReachesRemaining) {
  struct Case {
    TimeValue elapsed, remaining;
    bool exhausted;
  } cases[] = {
      {{0, 0}, {0, 0}, true},
      {{0, 999999}, {1, 0}, false},
      {{1, 0}, {1, 0}, true},
      {{1, 1}, {1, 0}, true},
      {{0, 500000}, {0, 500001}, false},
      {{2, 0}, {1, 999999}, true},
      {{0, 0}, {-1, 0}, true},  // a negative budget is spent from the start
  };
  for (const Case& c : cases)
    EXPECT_EQ(NetModel::IsExhausted(c.elapsed, c.remaining), c.exhausted)
        << c.elapsed.seconds << "." << c.elapsed.microseconds << " of " << c.remaining.seconds
        << "." << c.remaining.microseconds;
}

TEST(TimeBudget, ReduceBorrowsAndStaysNormalised) {
  EXPECT_EQ(NetModel::Reduce({86, 0}, {0, 1000}), (TimeValue{85, 999000}));
  EXPECT_EQ(NetModel::Reduce({25, 0}, {24, 999999}), (TimeValue{0, 1}));
  EXPECT_EQ(NetModel::Reduce({1, 200000}, {0, 300000}), (TimeValue{0, 900000}));
  // Summing many short waits spends the whole budget exactly.
  TimeValue remaining{1, 0};
  for (int i = 0; i < 9; ++i) remaining = NetModel::Reduce(remaining, {0, 100000});
  EXPECT_EQ(remaining, (TimeValue{0, 100000}));
  EXPECT_TRUE(NetModel::IsExhausted({0, 100000}, remaining));
}

TEST(TimeBudget, WaitLimitIsNeverNegative) {
  EXPECT_EQ(NetModel::WaitLimitMicroseconds({25, 0}), 25000000);
  EXPECT_EQ(NetModel::WaitLimitMicroseconds({0, 1500}), 1500);
  EXPECT_EQ(NetModel::WaitLimitMicroseconds({-3, 0}), 0);
  EXPECT_EQ(NetModel::WaitLimitMicroseconds({0, -1}), 0);
  // An unnormalised pair counts by its total.
  EXPECT_EQ(NetModel::WaitLimitMicroseconds({1, 2000000}), 3000000);
  EXPECT_EQ(NetModel::FromMicroseconds(-1), (TimeValue{-1, 999999}));
}

}  // namespace
