#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/interactive/interactive.h"

namespace kestra::interactive {
namespace {

std::vector<std::string> Drain(LineSplitter& splitter) {
  std::vector<std::string> lines;
  std::string line;
  while (splitter.Next(line)) lines.push_back(line);
  return lines;
}

struct SplitCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
  std::size_t pending;
};

class LineSplitterCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitterCases, SplitsAtEveryLineFeed) {
  const SplitCase& c = GetParam();
  LineSplitter splitter;
  for (const std::string& chunk : c.chunks) splitter.Feed(chunk);
  EXPECT_EQ(Drain(splitter), c.lines);
  EXPECT_EQ(splitter.pending_bytes(), c.pending);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LineSplitterCases,
    ::testing::Values(
        SplitCase{"two_in_one", {"a=1\nb=2\n"}, {"a=1", "b=2"}, 0},
        SplitCase{"split_line", {"[Inter", "active]P2PState=1", "4\n"},
                  {"[Interactive]P2PState=14"}, 0},
        SplitCase{"trailing_part", {"one\ntw"}, {"one"}, 2},
        SplitCase{"empty_lines", {"\n\n"}, {"", ""}, 0},
        SplitCase{"carriage_return_kept", {"x\r\n"}, {"x\r"}, 0},
        SplitCase{"nul_bytes", {std::string("a\0b\n", 4)}, {std::string("a\0b", 3)}, 0},
        SplitCase{"feed_split_from_text", {"abc", "\n", "def", "\n"}, {"abc", "def"}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineSplitter, TrailingPartWaitsForItsLineFeed) {
  LineSplitter splitter;
  splitter.Feed("stat");
  std::string line;
  EXPECT_FALSE(splitter.Next(line));
  splitter.Feed("\n");
  ASSERT_TRUE(splitter.Next(line));
  EXPECT_EQ(line, "stat");
}

TEST(LineSplitter, LineAtTheBoundIsKept) {
  LineSplitter splitter;
  std::string longest(kMaxLineBytes, 'x');
  splitter.Feed(longest.substr(0, 1000));
  splitter.Feed(longest.substr(1000));
  splitter.Feed("\n");
  std::string line;
  ASSERT_TRUE(splitter.Next(line));
  EXPECT_EQ(line.size(), kMaxLineBytes);
  EXPECT_EQ(splitter.dropped_lines(), 0u);
}

TEST(LineSplitter, OverlongLineIsDroppedWholeUpToItsLineFeed) {
  LineSplitter splitter;
  splitter.Feed("before\n");
  // Far more than the bound, in pieces, then the end of that line and a good one.
  for (int i = 0; i < 100; ++i) splitter.Feed(std::string(4096, 'g'));
  EXPECT_LE(splitter.pending_bytes(), kMaxLineBytes);
  splitter.Feed("tail-of-the-long-line\nafter\n");
  EXPECT_EQ(Drain(splitter), (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(splitter.dropped_lines(), 1u);
  EXPECT_EQ(splitter.pending_bytes(), 0u);
}

TEST(LineSplitter, OverlongLineInOneFeed) {
  LineSplitter splitter;
  splitter.Feed(std::string(kMaxLineBytes + 1, 'z') + "\nok\n");
  EXPECT_EQ(Drain(splitter), std::vector<std::string>{"ok"});
  EXPECT_EQ(splitter.dropped_lines(), 1u);
}

}  // namespace
}  // namespace kestra::interactive

namespace kestra::interactive {
namespace {

// However a stream is cut into pieces, the same lines come out.
TEST(LineSplitter, AnyCuttingOfAStreamGivesTheSameLines) {
  std::string stream;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    std::string line = "[Interactive]Key" + std::to_string(i) + "=" + std::string(i % 37, 'v');
    expected.push_back(line);
    stream += line + "\n";
  }
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 50; ++round) {
    LineSplitter splitter;
    std::size_t at = 0;
    while (at < stream.size()) {
      std::size_t piece = 1 + (next() >> 16) % 300;
      splitter.Feed(std::string_view(stream).substr(at, piece));
      at += piece;
    }
    EXPECT_EQ(Drain(splitter), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace kestra::interactive
