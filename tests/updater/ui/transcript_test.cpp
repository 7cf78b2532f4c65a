#include "updater/ui/transcript.h"

#include <gtest/gtest.h>

namespace {

using kestra::ui::Transcript;

TEST(TranscriptQuote, EscapesAndConvertsToUtf8) {
  EXPECT_EQ(Transcript::Quote("plain"), "\"plain\"");
  EXPECT_EQ(Transcript::Quote("\x01\t\r"), "\"\\u0001\\t\\r\"");
  EXPECT_EQ(Transcript::Quote("更新"), "\"\xE6\x9B\xB4\xE6\x96\xB0\"");
  EXPECT_EQ(Transcript::Quote("\xFF"), "\"\xEF\xBF\xBD\"");  // invalid GBK
}

}  // namespace
