// Splitting one fuzz input into the several arguments a parser takes.
// Portable C++ so that the same targets also build as replay tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestra::fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return rest_.empty(); }
  // The next byte; 0 when none is left.
  std::uint8_t Byte() {
    if (rest_.empty()) return 0;
    auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  // Text up to the next separator (consumed) or the end.
  std::string_view Field(char separator = '\0') {
    std::size_t at = rest_.find(separator);
    std::string_view field = rest_.substr(0, at);
    rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
    return field;
  }
  // Everything not read yet.
  std::string_view Rest() {
    std::string_view r = rest_;
    rest_ = {};
    return r;
  }

 private:
  std::string_view rest_;
};

// The fuzz entry's bytes as a string view.
inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Stops the run when a property of the parser does not hold; the fuzzer
// keeps the input as a crash.
inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace kestra::fuzz
