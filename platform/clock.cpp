#include "platform/clock.h"

#include <ctime>
#include <time.h>

namespace platform::clock {

std::uint64_t SteadyMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

std::uint32_t TickCount() { return static_cast<std::uint32_t>(SteadyMs()); }

void SleepMs(std::uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

LocalTime Now() {
  std::time_t t = std::time(nullptr);
  struct tm tm_local;
  localtime_r(&t, &tm_local);
  LocalTime lt;
  lt.year = tm_local.tm_year + 1900;
  lt.month = tm_local.tm_mon + 1;
  lt.day = tm_local.tm_mday;
  lt.hour = tm_local.tm_hour;
  lt.minute = tm_local.tm_min;
  lt.second = tm_local.tm_sec;
  return lt;
}

std::int64_t UnixSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace platform::clock
