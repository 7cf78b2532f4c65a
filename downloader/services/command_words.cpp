#include "downloader/services/command_words.h"

#include <charconv>

namespace zelt {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

template <typename T>
T Convert(const std::string& word, T fallback) {
  if (word.empty()) return fallback;
  const char* begin = word.data();
  const char* end = word.data() + word.size();
  if (*begin == '+') ++begin;
  T value{};
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return fallback;
  return value;
}

}  // namespace

std::string CommandWords::Word() {
  while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
  std::size_t start = pos_;
  while (pos_ < line_.size() && !IsBlank(line_[pos_])) ++pos_;
  return std::string(line_.substr(start, pos_ - start));
}

std::uint32_t CommandWords::Unsigned(std::uint32_t fallback) {
  return Convert<std::uint32_t>(Word(), fallback);
}

std::int32_t CommandWords::Signed(std::int32_t fallback) {
  return Convert<std::int32_t>(Word(), fallback);
}

}  // namespace zelt
