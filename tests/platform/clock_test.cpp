#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

TEST(Clock, TickCountAdvancesWithSleep) {
  std::uint32_t before = platform::clock::TickCount();
  platform::clock::SleepMs(20);
  std::uint32_t elapsed = platform::clock::TickCount() - before;
  EXPECT_GE(elapsed, 20u);
}

TEST(Clock, LocalTimeIsPlausible) {
  auto t = platform::clock::Now();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.second, 60);
}

}  // namespace
