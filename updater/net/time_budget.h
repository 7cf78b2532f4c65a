// The time budget of one HTTP request: a (seconds, microseconds) pair that
// every wait is bounded by and that the waits spend.
#pragma once

#include <cstdint>

namespace NetModel {

struct TimeValue {
  std::int32_t seconds = 0;
  std::int32_t microseconds = 0;

  bool operator==(const TimeValue&) const = default;
  bool IsZero() const { return seconds == 0 && microseconds == 0; }
};

// Total microseconds (may be negative for a negative value).
std::int64_t ToMicroseconds(TimeValue value);
// Normalised: 0 <= microseconds < 1,000,000 (seconds clamped to 32 bits).
TimeValue FromMicroseconds(std::int64_t microseconds);

// The time between two readings of the 32-bit millisecond tick count; a
// counter that wrapped in between still gives the true (short) time.
TimeValue ElapsedBetween(std::uint32_t start_ms, std::uint32_t end_ms);

// The budget is spent when the elapsed time has reached what remains.
bool IsExhausted(TimeValue elapsed, TimeValue remaining);
// What remains after `elapsed` was spent, normalised.
TimeValue Reduce(TimeValue remaining, TimeValue elapsed);

// A wait limit for the socket layer: the remaining time in microseconds,
// never negative (a negative budget means "do not wait").
std::int64_t WaitLimitMicroseconds(TimeValue remaining);

}  // namespace NetModel
