#include "updater/ui/gui/notice_lines.h"

#include <gtest/gtest.h>

#include <random>

namespace kestra::ui::gui {
namespace {

TEST(NoticeDisplayLinesTest, BreaksOnlyAtCrLf) {
  struct Case {
    std::string gbk;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {""}},
      {"a\r\nb", {"a", "b"}},
      {"a\nb\rc", {"a b c"}},  // lone LF and CR are no line breaks
      {"a\r\n\r\n", {"a", "", ""}},
      {"x\ty\0z", {"x y"}},  // control bytes show as blanks; the literal ends at the NUL
      {std::string("n\0m", 3), {"n m"}},
      {"\xCE\xAC\xBB\xA4\r\n\xB9\xAB\xB8\xE6", {"\xE7\xBB\xB4\xE6\x8A\xA4", "\xE5\x85\xAC\xE5\x91\x8A"}},
      {"\xFF\x81", {"\xEF\xBF\xBD\xEF\xBF\xBD"}},  // invalid sequences become U+FFFD
  };
  for (const Case& c : cases) EXPECT_EQ(NoticeDisplayLines(c.gbk), c.lines) << c.gbk;
}

TEST(NoticeDisplayLinesTest, AnyBytesGiveValidUtf8) {
  std::mt19937 random(11);
  std::string bytes;
  for (int i = 0; i < 200000; ++i) bytes += static_cast<char>(random() & 0xFF);
  std::vector<std::string> lines = NoticeDisplayLines(bytes);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    for (std::size_t i = 0; i < line.size();) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      ASSERT_GE(c, 0x20) << "control byte left at " << i;
      std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
      ASSERT_NE(len, 0u) << "bad lead byte";
      ASSERT_LE(i + len, line.size());
      for (std::size_t k = 1; k < len; ++k) ASSERT_EQ(static_cast<unsigned char>(line[i + k]) >> 6, 2u);
      i += len;
    }
  }
}

}  // namespace
}  // namespace kestra::ui::gui
