// Time.
#pragma once

#include <cstdint>

namespace platform::clock {

// Milliseconds since an arbitrary start, 32 bits, wrapping like the system's
// tick count; differences are taken as unsigned.
std::uint32_t TickCount();
// Milliseconds on a steady clock, 64 bits (never wraps).
std::uint64_t SteadyMs();
void SleepMs(std::uint32_t ms);

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime Now();
// Seconds since 1970 (the C time()).
std::int64_t UnixSeconds();

}  // namespace platform::clock
