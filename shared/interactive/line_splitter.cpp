#include "shared/interactive/interactive.h"

namespace kestra::interactive {

void LineSplitter::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t feed = bytes.find('\n');
    std::string_view piece = bytes.substr(0, feed);
    if (!discarding_) {
      if (partial_.size() + piece.size() > kMaxLineBytes) {
        partial_.clear();
        discarding_ = true;
        ++dropped_lines_;
      } else {
        partial_.append(piece);
      }
    }
    if (feed == std::string_view::npos) return;
    if (!discarding_) lines_.push_back(std::move(partial_));
    partial_.clear();
    discarding_ = false;
    bytes.remove_prefix(feed + 1);
  }
}

bool LineSplitter::Next(std::string& line) {
  if (lines_.empty()) return false;
  line = std::move(lines_.front());
  lines_.pop_front();
  return true;
}

bool LineSplitter::has_line() const { return !lines_.empty(); }

std::size_t LineSplitter::pending_bytes() const { return partial_.size(); }

}  // namespace kestra::interactive
