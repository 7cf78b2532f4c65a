#include "downloader/net/bandwidth_limiter.h"

#include <algorithm>
#include <cassert>

namespace zelt {

#ifdef NDEBUG
#define LIMITER_INVARIANT() ((void)0)
#else
#define LIMITER_INVARIANT() check_invariant()
#endif

BandwidthLimiter::BandwidthLimiter(std::uint32_t rate, std::uint32_t window_ms)
    : window_ms_(window_ms == 0 ? kLimiterWindowMs : window_ms), rate_(rate) {
  remaining_ = Quota();
}

std::uint64_t BandwidthLimiter::Quota() const {
  if (rate_ == kUnlimited) return UINT64_MAX;
  return static_cast<std::uint64_t>(rate_) * window_ms_ / 1000;
}

void BandwidthLimiter::check_invariant() const {
  assert(window_ms_ > 0);
  assert(rate_ == kUnlimited || remaining_ <= Quota());
  assert(!started_ || window_start_ % window_ms_ == 0);
}

void BandwidthLimiter::Roll(std::uint32_t now) {
  std::uint32_t start = now - now % window_ms_;
  if (!started_) {
    started_ = true;
    window_start_ = start;
    remaining_ = Quota();
    used_ = 0;
    return;
  }
  std::uint32_t since = now - window_start_;  // unsigned: survives the wrap
  if (since < window_ms_) return;
  measured_ = since < 2 * window_ms_ ? static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                           used_ * 1000 / window_ms_, UINT32_MAX))
                                     : 0;
  window_start_ = start;
  remaining_ = Quota();
  used_ = 0;
}

void BandwidthLimiter::SetRate(std::uint32_t bytes_per_second, std::uint32_t now) {
  LIMITER_INVARIANT();
  Roll(now);
  if (bytes_per_second == rate_) return;
  std::uint64_t old_quota = Quota();
  rate_ = bytes_per_second;
  std::uint64_t new_quota = Quota();
  if (old_quota == UINT64_MAX || new_quota == UINT64_MAX) {
    remaining_ = new_quota == UINT64_MAX ? UINT64_MAX : (used_ >= new_quota ? 0 : new_quota - used_);
  } else if (new_quota >= old_quota) {
    remaining_ += new_quota - old_quota;
  } else {
    std::uint64_t drop = old_quota - new_quota;
    remaining_ = remaining_ > drop ? remaining_ - drop : 0;
  }
  remaining_ = std::min(remaining_, new_quota);
  LIMITER_INVARIANT();
}

std::uint64_t BandwidthLimiter::Remaining(std::uint32_t now) {
  Roll(now);
  return remaining_;
}

void BandwidthLimiter::Consume(std::uint64_t bytes, std::uint32_t now) {
  LIMITER_INVARIANT();
  Roll(now);
  used_ += bytes;
  if (remaining_ != UINT64_MAX) remaining_ = remaining_ > bytes ? remaining_ - bytes : 0;
  LIMITER_INVARIANT();
}

std::uint32_t BandwidthLimiter::MeasuredRate(std::uint32_t now) {
  Roll(now);
  if (now - window_start_ >= 2 * window_ms_) return 0;
  return measured_;
}

}  // namespace zelt
