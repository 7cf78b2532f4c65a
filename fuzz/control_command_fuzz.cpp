// Command lines of the control channel as the core splits them into words
// and numbers.
// fuzz-libs: kestra_services
#include <cstddef>
#include <cstdint>
#include <string>

#include "downloader/services/command_words.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  kestra::fuzz::ByteReader in(data, size);
  const std::uint8_t plan = in.Byte();
  const std::string_view line = in.Rest();
  zelt::CommandWords words(line);
  std::size_t taken = 0;
  // Reads words and numbers in the order the plan's bits say; every read
  // consumes a word.
  for (std::size_t step = 0; step < line.size() + 2; ++step) {
    const int kind = (plan >> ((step % 4) * 2)) & 3;
    if (kind == 1) {
      (void)words.Unsigned(7);
    } else if (kind == 2) {
      (void)words.Signed(-7);
    } else {
      const std::string word = words.Word();
      if (word.empty()) break;
      Require(word.find(' ') == std::string::npos && word.size() <= line.size());
      taken += word.size();
    }
  }
  // Once every word is consumed, the line has nothing more to give.
  Require(words.Word().empty() || plan != 0);
  Require(taken <= line.size());
  return 0;
}
