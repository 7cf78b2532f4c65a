#include "downloader/services/command_words.h"

#include <gtest/gtest.h>

namespace zelt {
namespace {

TEST(CommandWordsTest, WordsAndNumbersInOrder) {
  CommandWords w("  set\tubl 2 -7 +5 12abc 4294967296 4294967295");
  EXPECT_EQ(w.Word(), "set");
  EXPECT_EQ(w.Word(), "ubl");
  EXPECT_EQ(w.Unsigned(99), 2u);
  EXPECT_EQ(w.Unsigned(99), 99u);          // "-7" is no unsigned number
  EXPECT_EQ(w.Signed(99), 5);
  EXPECT_EQ(w.Signed(99), 99);             // trailing text
  EXPECT_EQ(w.Unsigned(99), 99u);          // beyond 32 bits
  EXPECT_EQ(w.Unsigned(99), 4294967295u);
  EXPECT_EQ(w.Unsigned(98), 98u);          // nothing left
  EXPECT_EQ(w.Word(), "");
}

TEST(CommandWordsTest, SignedRangeAndBlankLines) {
  CommandWords w("-2147483648 2147483648 -0");
  EXPECT_EQ(w.Signed(1), INT32_MIN);
  EXPECT_EQ(w.Signed(1), 1);
  EXPECT_EQ(w.Signed(1), 0);
  CommandWords blank(" \r\n");
  EXPECT_EQ(blank.Word(), "");
}

}  // namespace
}  // namespace zelt
