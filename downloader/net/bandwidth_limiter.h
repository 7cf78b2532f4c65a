// A bandwidth limiter: a byte quota per window of 2000 ms on the tick clock.
// Windows start at multiples of the window length; the measured rate is what
// the last full window carried. Callers pass the tick count, so tests drive
// the clock themselves.
#pragma once

#include <cstdint>

#include "downloader/net/net_limits.h"

namespace zelt {

class BandwidthLimiter {
 public:
  // No quota: every byte is allowed, and only the measured rate counts.
  static constexpr std::uint32_t kUnlimited = 0xFFFFFFFFu;

  explicit BandwidthLimiter(std::uint32_t rate = kUnlimited, std::uint32_t window_ms = kLimiterWindowMs);

  // Bytes per second. The quota follows and what is left of the current
  // window moves by the same difference (never below 0).
  void SetRate(std::uint32_t bytes_per_second, std::uint32_t now);
  std::uint32_t rate() const { return rate_; }

  // Bytes still allowed in the window that holds `now` (starting a new
  // window first when the old one has ended).
  std::uint64_t Remaining(std::uint32_t now);
  // Subtracts a transfer (more than what is left only empties the quota).
  void Consume(std::uint64_t bytes, std::uint32_t now);
  // Bytes per second over the last full window; 0 when more than one whole
  // window has passed without use.
  std::uint32_t MeasuredRate(std::uint32_t now);

  void check_invariant() const;

 private:
  void Roll(std::uint32_t now);
  std::uint64_t Quota() const;

  std::uint32_t window_ms_;
  std::uint32_t rate_;
  std::uint32_t window_start_ = 0;
  bool started_ = false;
  std::uint64_t remaining_ = 0;
  std::uint64_t used_ = 0;  // bytes of the current window
  std::uint32_t measured_ = 0;
};

}  // namespace zelt
