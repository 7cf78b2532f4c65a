// The one way a test waits for something that happens on another thread or
// in another process: poll a condition until it holds or a generous time-out
// passes. The time-out only keeps a broken program from hanging the test; no
// test asserts on how long anything took.
#pragma once

#include <functional>

namespace kestra::test {

// Generous enough for a loaded machine running two test programs at once.
inline constexpr int kDefaultWaitMs = 10000;
inline constexpr int kDefaultPollMs = 2;

// Calls condition until it returns true (then true) or timeout_ms passed
// (then false, after a last call). Sleeps poll_ms between calls.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms = kDefaultWaitMs,
               int poll_ms = kDefaultPollMs);

}  // namespace kestra::test
