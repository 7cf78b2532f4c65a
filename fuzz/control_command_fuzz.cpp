// Command lines of the control channel: the byte stream cut into lines by the
// channel's splitter (fed in pieces, as reads deliver it), and each line split
// into words and numbers as the core reads its commands.
// fuzz-libs: kestra_services kestra_interactive
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "downloader/services/command_words.h"
#include "fuzz/support/byte_reader.h"
#include "shared/interactive/interactive.h"

namespace {

void ReadWords(std::string_view line, std::uint8_t plan) {
  using kestra::fuzz::Require;
  zelt::CommandWords words(line);
  std::size_t taken = 0;
  // Words and numbers in the order the plan's bits say; each read consumes
  // a word.
  for (std::size_t step = 0; step < line.size() + 2; ++step) {
    const int kind = (plan >> ((step % 4) * 2)) & 3;
    if (kind == 1) {
      (void)words.Unsigned(7);
    } else if (kind == 2) {
      (void)words.Signed(-7);
    } else {
      const std::string word = words.Word();
      if (word.empty()) break;
      Require(word.find_first_of(" \t") == std::string::npos);
      taken += word.size();
    }
  }
  Require(taken <= line.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace interactive = kestra::interactive;
  kestra::fuzz::ByteReader in(data, size);
  const std::uint8_t plan = in.Byte();
  const std::size_t piece = 1 + (in.Byte() & 63);
  const std::string_view stream = in.Rest();

  interactive::LineSplitter splitter;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    splitter.Feed(stream.substr(at, piece));
    Require(splitter.pending_bytes() <= interactive::kMaxLineBytes);
    std::string line;
    while (splitter.Next(line)) lines.push_back(line);
  }

  // Without overlong lines, the lines are the stream cut at each line feed
  // (the unfinished tail stays pending).
  std::vector<std::string> expected;
  bool overlong = false;
  for (std::size_t start = 0;;) {
    const std::size_t lf = stream.find('\n', start);
    if (lf == std::string_view::npos) {
      overlong = overlong || stream.size() - start > interactive::kMaxLineBytes;
      break;
    }
    overlong = overlong || lf - start > interactive::kMaxLineBytes;
    expected.emplace_back(stream.substr(start, lf - start));
    start = lf + 1;
  }
  if (!overlong) Require(lines == expected);

  for (const std::string& line : lines) {
    Require(line.size() <= interactive::kMaxLineBytes);
    Require(line.find('\n') == std::string::npos);
    ReadWords(line, plan);
  }
  return 0;
}
