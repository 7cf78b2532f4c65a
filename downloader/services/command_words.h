// Reads the blank-separated words of a command line in order: as words, as
// unsigned or as signed numbers. A missing or unreadable number gives the
// default; the word is consumed either way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelt {

class CommandWords {
 public:
  explicit CommandWords(std::string_view line) : line_(line) {}

  // The next word; empty when none is left.
  std::string Word();
  std::uint32_t Unsigned(std::uint32_t fallback);
  std::int32_t Signed(std::int32_t fallback);

 private:
  std::string_view line_;
  std::size_t pos_ = 0;
};

}  // namespace zelt
