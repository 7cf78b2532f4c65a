#include "updater/net/time_budget.h"

#include <limits>

namespace NetModel {

namespace {
constexpr std::int64_t kMicrosPerSecond = 1000000;
}

std::int64_t ToMicroseconds(TimeValue value) {
  return static_cast<std::int64_t>(value.seconds) * kMicrosPerSecond + value.microseconds;
}

TimeValue FromMicroseconds(std::int64_t microseconds) {
  std::int64_t seconds = microseconds / kMicrosPerSecond;
  std::int64_t rest = microseconds % kMicrosPerSecond;
  if (rest < 0) {
    rest += kMicrosPerSecond;
    --seconds;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  if (seconds > kMax) return TimeValue{static_cast<std::int32_t>(kMax), 999999};
  if (seconds < kMin) return TimeValue{static_cast<std::int32_t>(kMin), 0};
  return TimeValue{static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(rest)};
}

TimeValue ElapsedBetween(std::uint32_t start_ms, std::uint32_t end_ms) {
  const std::uint32_t ms = end_ms - start_ms;  // unsigned: wrap-safe
  return FromMicroseconds(static_cast<std::int64_t>(ms) * 1000);
}

bool IsExhausted(TimeValue elapsed, TimeValue remaining) {
  return ToMicroseconds(elapsed) >= ToMicroseconds(remaining);
}

TimeValue Reduce(TimeValue remaining, TimeValue elapsed) {
  return FromMicroseconds(ToMicroseconds(remaining) - ToMicroseconds(elapsed));
}

std::int64_t WaitLimitMicroseconds(TimeValue remaining) {
  std::int64_t us = ToMicroseconds(remaining);
  return us < 0 ? 0 : us;
}

}  // namespace NetModel
