#include "tests/support/wait_until.h"

#include "platform/clock.h"

namespace kestra::test {

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms, int poll_ms) {
  const std::uint64_t deadline =
      platform::clock::SteadyMs() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (condition()) return true;
    if (platform::clock::SteadyMs() >= deadline) return condition();
    platform::clock::SleepMs(static_cast<std::uint32_t>(poll_ms < 1 ? 1 : poll_ms));
  }
}

}  // namespace kestra::test
