#include "platform/charset.h"

#include <gtest/gtest.h>

namespace {

using platform::charset::GbkToUtf8;
using platform::charset::Utf8ToGbk;

TEST(Charset, LiteralsAreGbkAndConvertToUtf8) {
  // The build compiles literals to GBK.
  EXPECT_EQ(std::string("更新成功!"), "\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\x21");
  EXPECT_EQ(GbkToUtf8("\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\x21"), "\xE6\x9B\xB4\xE6\x96\xB0\xE6\x88\x90\xE5\x8A\x9F!");
}

TEST(Charset, InvalidSequencesAreReplacedAndTheRestSurvives) {
  struct Case {
    std::string gbk;
    std::string utf8;
  } cases[] = {
      {"abc", "abc"},
      {"", ""},
      {"\xFF" "abc", "\xEF\xBF\xBD" "abc"},
      {"ab\xB8", "ab\xEF\xBF\xBD"},                         // truncated at the end
      {"\xB8\xFC\xFF\xB8\xFC", "\xE6\x9B\xB4\xEF\xBF\xBD\xE6\x9B\xB4"},  // bad byte between two
  };
  for (const auto& c : cases) EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8);
}

TEST(Charset, AnyBytesConvertWithoutCrashing) {
  std::string all;
  for (int i = 0; i < 256; ++i)
    for (int j = 0; j < 256; j += 7) {
      all.push_back(static_cast<char>(i));
      all.push_back(static_cast<char>(j));
    }
  std::string out = GbkToUtf8(all);
  EXPECT_FALSE(out.empty());
}

TEST(Charset, Utf8ToGbkRoundTripsAndMarksTheUnmappable) {
  EXPECT_EQ(Utf8ToGbk("\xE6\x9B\xB4\xE6\x96\xB0"), "更新");
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80" "b"), "a?b");
}

}  // namespace
