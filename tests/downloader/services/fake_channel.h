// A control channel for tests: commands are queued by the test and taken by
// the service; everything written is recorded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/interactive/interactive.h"

namespace zelt::test {

class FakeChannel : public kestra::interactive::IInteractive {
 public:
  bool Open() override { return true; }
  void Close() override {}

  bool ReadLine(std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++read_calls_;
    if (queue_.empty()) {
      idle_after_ = taken_;
      changed_.notify_all();
      return false;
    }
    line = queue_.front().second;
    taken_ = queue_.front().first;
    queue_.pop_front();
    return true;
  }

  bool Write(std::string_view bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.emplace_back(bytes);
    return true;
  }

  // Queues a command line; returns its number.
  std::uint64_t Push(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.emplace_back(++pushed_, line);
    return pushed_;
  }

  // Waits until the command has been taken and executed (the reader has come
  // back to the empty queue after it); false after the time-out.
  bool WaitHandled(std::uint64_t number, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return idle_after_ >= number; });
  }

  // Every line written so far (writes joined and split at line feeds), and
  // forgets them.
  std::vector<std::string> TakeLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& w : writes_) all += w;
    writes_.clear();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i] == '\n') {
        lines.push_back(all.substr(start, i - start));
        start = i + 1;
      }
    }
    if (start < all.size()) lines.push_back(all.substr(start) + "<no line feed>");
    return lines;
  }

  std::vector<std::string> Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

  std::size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::uint64_t, std::string>> queue_;
  std::uint64_t pushed_ = 0;
  std::uint64_t taken_ = 0;
  std::uint64_t idle_after_ = 0;
  std::uint64_t read_calls_ = 0;
  std::vector<std::string> writes_;
};

}  // namespace zelt::test
