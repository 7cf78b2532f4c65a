// The resume file's IniFile text: reading rules, writing order, numbers.
#include <gtest/gtest.h>

#include <string>

#include "downloader/storage/ini_file.h"
#include "downloader/storage/resume_file.h"
#include "downloader/storage/seed_limits.h"

namespace zelt {
namespace {

TEST(IniFileTest, ReadingRules) {
  IniFile ini;
  ASSERT_TRUE(ini.Parse(
      "top = level\r\n"
      "  # a comment = not a key\r\n"
      "\r\n"
      "\t[ 1 ]\t\r\n"
      "  CompletePartId\t=  0|1 \r\n"
      "Key = a = b\n"
      "Key = replaced\n"
      "Empty =\n"
      "[Global]\n"
      "AllFileId=1"));  // last line without a line end
  EXPECT_EQ(ini.Get("", "top"), "level");
  EXPECT_EQ(ini.Get("1", "CompletePartId"), "0|1");
  EXPECT_EQ(ini.Get("1", "Key"), "replaced");
  EXPECT_EQ(ini.Get("1", "Empty"), "");
  EXPECT_EQ(ini.Get("Global", "AllFileId"), "1");
  EXPECT_FALSE(ini.Get("1", "# a comment").has_value());
  EXPECT_FALSE(ini.Get("2", "Key").has_value());

  for (const char* bad : {"abc", "[Global]\nAllFileId = 1\nabc\n", "[open\n"}) {
    EXPECT_FALSE(ini.Parse(bad)) << bad;
    EXPECT_TRUE(ini.sections().empty()) << bad;
  }
  EXPECT_FALSE(ini.Parse(std::string(kMaxResumeBytes + 1, '#')));
}

TEST(IniFileTest, WritingOrderAndLineEnds) {
  IniFile ini;
  ini.Set("b", "z", "1");
  ini.Set("b", "a", "2");
  ini.Set("B", "k", "");
  ini.Set("\xB0\xA1", "k", "v");  // a GBK name sorts after ASCII bytes
  EXPECT_EQ(ini.Text(), "[B]\r\nk = \r\n\r\n[b]\r\na = 2\r\nz = 1\r\n\r\n[\xB0\xA1]\r\nk = v\r\n\r\n");
}

TEST(ResumeNumberTest, AutomaticBaseAndRejections) {
  struct Case {
    const char* text;
    bool ok;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},           {"00", true, 0},           {"000", true, 0},
      {"17", true, 17},         {"017", true, 15},         {"0x1A", true, 26},
      {"0X1a", true, 26},       {"4294967295", true, 4294967295u},
      {"0xFFFFFFFF", true, 4294967295u},
      {"-1", true, 4294967295u},  // written as signed 32-bit, read back
      {"-2147483648", true, 2147483648u},
      {"x1", false, 0},         {"", false, 0},            {"0x", false, 0},
      {"08", false, 0},         {"12abc", false, 0},       {"4294967296", false, 0},
      {"0x100000000", false, 0}, {"-0", false, 0},         {" 1", false, 0},
      {"1 2", false, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t value = 12345;
    EXPECT_EQ(ParseResumeNumber(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(ResumeTextTest, WrittenOutIdByIdInByteOrder) {
  ResumeData data;
  data.completed_parts[1].InsertRange(0, 2);
  data.completed_parts[1].Insert(5);
  data.completed_parts[2];
  data.completed_parts[10].InsertRange(3, 5);
  data.http_begin[1] = 1822;
  data.http_begin[2] = 40;
  data.http_begin[10] = 0xFFFFFFFEu;
  // Section names sort as text: "1" < "10" < "2" < "Global".
  EXPECT_EQ(WriteResumeText(data),
            "[1]\r\nCompletePartId = 0|1|2|5\r\nHttpBeginLocation = 1822\r\n\r\n"
            "[10]\r\nCompletePartId = 3|4|5\r\nHttpBeginLocation = -2\r\n\r\n"
            "[2]\r\nCompletePartId = \r\nHttpBeginLocation = 40\r\n\r\n"
            "[Global]\r\nAllFileId = 1|2|10\r\n\r\n");

  ResumeData back;
  ASSERT_TRUE(ReadResumeText(WriteResumeText(data), back));
  EXPECT_EQ(back.completed_parts, data.completed_parts);
  EXPECT_EQ(back.http_begin, data.http_begin);

  ResumeData none;
  EXPECT_EQ(WriteResumeText(none), "[Global]\r\nAllFileId = \r\n\r\n");
  ASSERT_TRUE(ReadResumeText(WriteResumeText(none), back));
  EXPECT_TRUE(back.completed_parts.empty());
}

TEST(ResumeTextTest, ReadingRulesAndRejections) {
  ResumeData data;
  // Listed files without a section get an empty set and no begin location;
  // sections of unlisted files are ignored; "00" is part 0.
  ASSERT_TRUE(ReadResumeText("[Global]\nAllFileId = 7|3\n[3]\nCompletePartId = 00|0x2|04\n"
                             "[9]\nCompletePartId = 1\n",
                             data));
  ASSERT_EQ(data.completed_parts.size(), 2u);
  EXPECT_TRUE(data.completed_parts[7].Empty());
  EXPECT_TRUE(data.completed_parts[3].Contains(0));
  EXPECT_TRUE(data.completed_parts[3].Contains(2));
  EXPECT_TRUE(data.completed_parts[3].Contains(4));
  EXPECT_EQ(data.completed_parts[3].Count(), 3u);
  EXPECT_TRUE(data.http_begin.empty());

  const char* bad[] = {
      "",                                                        // no Global
      "[Global]\n",                                              // no AllFileId
      "abc\n[Global]\nAllFileId = 1\n",                          // a line without "="
      "[Global]\nAllFileId = x1\n",                              // bad file id
      "[Global]\nAllFileId = 1||2\n",                            // empty item
      "[Global]\nAllFileId = 1\n[1]\nCompletePartId = 1|x1\n",   // bad part id
      "[Global]\nAllFileId = 1\n[1]\nCompletePartId = 99999999999\n",
      "[Global]\nAllFileId = 1\n[1]\nHttpBeginLocation = abc\n",
  };
  for (const char* text : bad) {
    ResumeData untouched;
    untouched.completed_parts[42].Insert(1);
    EXPECT_FALSE(ReadResumeText(text, untouched)) << text;
    EXPECT_TRUE(untouched.completed_parts[42].Contains(1)) << "replaced on failure: " << text;
  }
}

}  // namespace
}  // namespace zelt
