#include "updater/downloader_control/reply_parser.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/support/temp_dir.h"

namespace kestra::dlctl {
namespace {

struct LineCase {
  const char* name;
  std::string line;
  // Expected map afterwards (a single entry or none).
  std::string key;
  std::string value;
  bool stored;
};

class ParseReplyLineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseReplyLineCases, StoresKeyAndValueOrIgnoresTheLine) {
  const LineCase& c = GetParam();
  ReplyMap replies;
  ParseReplyLine(c.line, replies);
  if (!c.stored) {
    EXPECT_TRUE(replies.empty());
    return;
  }
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies.begin()->first, c.key);
  EXPECT_EQ(replies.begin()->second, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseReplyLineCases,
    ::testing::Values(
        LineCase{"plain", "[Interactive]P2PState=14", "P2PState", "14", true},
        LineCase{"carriage_return", "[Interactive]P2PState=14\r", "P2PState", "14", true},
        LineCase{"blanks_everywhere", " [Info] \t Key = some value \t\r\n", "Key", "some value", true},
        LineCase{"empty_value", "[Interactive]FileName=", "FileName", "", true},
        LineCase{"second_equals_in_value", "[Interactive]AverageSpeed=1(A)=2", "AverageSpeed",
                 "1(A)=2", true},
        LineCase{"bracket_order_not_checked", "]x[=1", "x[", "1", true},
        LineCase{"gbk_value", "[Interactive]FileName=数据\\补丁.tq", "FileName", "数据\\补丁.tq", true},
        LineCase{"no_open_bracket", "Interactive]P2PState=1", "", "", false},
        LineCase{"no_close_bracket", "[InteractiveP2PState=1", "", "", false},
        LineCase{"no_equals", "[Interactive]succeeded", "", "", false},
        LineCase{"info_without_equals", "[Info]downloader does not start.", "", "", false},
        LineCase{"empty", "", "", "", false},
        LineCase{"binary", std::string("\0\xff[\x01]\x02", 6), "", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseReplyLine, LaterValueReplacesEarlierAndKeysPile) {
  ReplyMap replies;
  ParseReplyLine("[Interactive]P2PState=7", replies);
  ParseReplyLine("[Info]Note=has no effect", replies);
  ParseReplyLine("[Interactive]P2PState=14", replies);
  EXPECT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies["P2PState"], "14");
  EXPECT_EQ(replies["Note"], "has no effect");
}

TEST(ParseReplyLine, UnknownKeysAreBoundedKnownKeysAlwaysKept) {
  ReplyMap replies;
  for (int i = 0; i < 10000; ++i) ParseReplyLine("[Info]junk" + std::to_string(i) + "=x", replies);
  EXPECT_EQ(replies.size(), kMaxReplyKeys);
  ParseReplyLine("[Interactive]P2PState=15", replies);
  ParseReplyLine("[Interactive]Error=DownloadSeed", replies);
  EXPECT_EQ(replies["P2PState"], "15");
  EXPECT_EQ(replies["Error"], "DownloadSeed");
  // Keys already held still take new values.
  ParseReplyLine("[Info]junk0=y", replies);
  EXPECT_EQ(replies["junk0"], "y");
}

TEST(NumberReaders, ReadLikeTheProtocolWritesThem) {
  EXPECT_EQ(ReadInt32("14"), 14);
  EXPECT_EQ(ReadInt32("-3"), -3);
  EXPECT_EQ(ReadInt32("+5"), 5);
  EXPECT_EQ(ReadInt32("12abc"), 12);
  EXPECT_EQ(ReadInt32("2147483647"), 2147483647);
  EXPECT_FALSE(ReadInt32("2147483648"));
  EXPECT_FALSE(ReadInt32("99999999999999999999"));
  EXPECT_FALSE(ReadInt32(""));
  EXPECT_FALSE(ReadInt32("abc"));
  EXPECT_FALSE(ReadInt32("+-1"));

  EXPECT_EQ(ReadUInt64("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(ReadUInt64("18446744073709551616"));
  EXPECT_FALSE(ReadUInt64("-5"));
  EXPECT_EQ(ReadUInt64("5000000000"), 5000000000u);

  EXPECT_EQ(ReadFloat("12.500000"), 12.5f);
  EXPECT_EQ(ReadFloat("-1.5"), -1.5f);
  EXPECT_EQ(ReadFloat("100"), 100.0f);
  EXPECT_FALSE(ReadFloat("nan"));
  EXPECT_FALSE(ReadFloat("inf"));
  EXPECT_FALSE(ReadFloat("1e999"));
  EXPECT_FALSE(ReadFloat("x1"));
}

class Interpret : public ::testing::Test {
 protected:
  void Apply(std::initializer_list<std::pair<const char*, const char*>> lines) {
    for (const auto& [key, value] : lines) {
      ParseReplyLine(std::string("[Interactive]") + key + "=" + value, replies_);
    }
    InterpretReplies(replies_, status_, ask_file_name_, "/target", free_space_);
  }

  ReplyMap replies_;
  DownloaderStatus status_;
  bool ask_file_name_ = true;
  std::optional<std::uint64_t> space_ = 1000;
  std::vector<std::string> asked_dirs_;
  FreeSpaceFunction free_space_ = [this](const std::string& dir) {
    asked_dirs_.push_back(dir);
    return space_;
  };
};

TEST_F(Interpret, FillsEveryFieldFromItsKey) {
  Apply({{"P2PState", "14"},
         {"ErrorCode", "32"},
         {"DownloadBandWidth", "12.500000"},
         {"UploadBandWidth", "3.250000"},
         {"VerifyPercentage", "0.500000"},
         {"Percentage", "40.000000"},
         {"PercentageDownloaded", "45.000000"},
         {"TotalByte", "5000000000"},
         {"IncompleteByte", "2750000000"},
         {"ErrorFile", "data\\a.pak"}});
  EXPECT_EQ(status_.state, 14);
  EXPECT_EQ(status_.error_code, 32);
  EXPECT_FLOAT_EQ(status_.download_rate, 12.5f);
  EXPECT_FLOAT_EQ(status_.upload_rate, 3.25f);
  EXPECT_FLOAT_EQ(status_.verify_percentage, 0.5f);
  EXPECT_FLOAT_EQ(status_.percentage, 40.0f);
  EXPECT_FLOAT_EQ(status_.percentage_downloaded, 45.0f);
  EXPECT_EQ(status_.total_bytes, 5000000000u);
  EXPECT_EQ(status_.incomplete_bytes, 2750000000u);
  EXPECT_EQ(status_.error_file, "data\\a.pak");
  EXPECT_EQ(status_.error_class, kNoError);
  EXPECT_TRUE(ask_file_name_);
}

TEST_F(Interpret, UnreadableValuesLeaveTheOldField) {
  Apply({{"P2PState", "12"}, {"TotalByte", "77"}, {"Percentage", "10.0"}});
  Apply({{"P2PState", "twelve"}, {"TotalByte", "-1"}, {"Percentage", "nan"}});
  EXPECT_EQ(status_.state, 12);
  EXPECT_EQ(status_.total_bytes, 77u);
  EXPECT_FLOAT_EQ(status_.percentage, 10.0f);
}

TEST_F(Interpret, FileNameColonKeepsAskingEmptyNameStops) {
  Apply({{"FileName", ":"}});
  EXPECT_TRUE(ask_file_name_);
  EXPECT_EQ(status_.file_name, "");
  Apply({{"FileName", "patch\\data.pak"}});
  EXPECT_FALSE(ask_file_name_);
  EXPECT_EQ(status_.file_name, "patch\\data.pak");

  replies_.clear();
  ask_file_name_ = true;
  status_.Reset();
  Apply({{"FileName", ""}});
  EXPECT_FALSE(ask_file_name_);
  EXPECT_EQ(status_.file_name, "");
}

struct ErrorCase {
  const char* value;
  std::optional<std::uint64_t> free_space;
  std::int32_t expected;
};

class ErrorClasses : public Interpret, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorClasses, ErrorValueGivesItsClass) {
  const ErrorCase& c = GetParam();
  space_ = c.free_space;
  status_.error_class = 99;  // a value nobody knows leaves it as it was
  Apply({{"IncompleteByte", "1000"}, {"Error", c.value}});
  EXPECT_EQ(status_.error_class, c.expected) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, ErrorClasses,
    ::testing::Values(ErrorCase{"WriteFile", 999, kDiskFull},
                      ErrorCase{"WriteFile", 1000, kWriteFileError},
                      ErrorCase{"WriteFile", std::nullopt, kWriteFileError},
                      ErrorCase{"OpenFile", 0, kOpenFileError},
                      ErrorCase{"SetFileSize", 0, kSetFileSizeError},
                      ErrorCase{"ReadSeed", 0, kReadSeedError},
                      ErrorCase{"DownloadTorrent", 0, kDownloadTorrentError},
                      ErrorCase{"DownloadSeed", 0, kDownloadSeedError},
                      ErrorCase{"writefile", 0, 99}, ErrorCase{"Unknown", 0, 99},
                      ErrorCase{"", 0, 99}));

TEST_F(Interpret, WriteFileAsksForTheTargetDirectoryAtEveryPoll) {
  space_ = 10;
  Apply({{"IncompleteByte", "1000"}, {"Error", "WriteFile"}});
  EXPECT_EQ(status_.error_class, kDiskFull);
  space_ = 1u << 30;  // space was freed
  Apply({});
  EXPECT_EQ(status_.error_class, kWriteFileError);
  EXPECT_EQ(asked_dirs_, (std::vector<std::string>{"/target", "/target"}));
}

TEST(ClassifyError, RealFreeSpaceOfATemporaryDirectory) {
  test::TempDir dir;
  FreeSpaceFunction real = [](const std::string& path) { return platform::fs::FreeSpace(path); };
  EXPECT_EQ(ClassifyError("WriteFile", 1, dir.path(), real), kWriteFileError);
  EXPECT_EQ(ClassifyError("WriteFile", std::numeric_limits<std::uint64_t>::max(), dir.path(), real),
            kDiskFull);
  // A directory whose space cannot be told counts as a write error.
  EXPECT_EQ(ClassifyError("WriteFile", std::numeric_limits<std::uint64_t>::max(),
                          dir / "missing/deeper", real),
            kWriteFileError);
}

}  // namespace
}  // namespace kestra::dlctl

namespace kestra::dlctl {
namespace {

// Random bytes, and random mixes of real keys with broken values, never crash
// the parser and never grow the map past its bound.
TEST(ReplyParsing, RandomInputIsHandled) {
  std::uint32_t seed = 99;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  const char* keys[] = {"P2PState", "TotalByte", "IncompleteByte", "Percentage", "Error",
                        "FileName", "ErrorCode", "DownloadBandWidth", "junk"};
  const char* values[] = {"", "-", "1e40", "nan", "18446744073709551616", "WriteFile",
                          ":", "12abc", "-2147483649", "+", "0x10", "  7  "};
  ReplyMap replies;
  DownloaderStatus status;
  bool ask = true;
  FreeSpaceFunction space = [](const std::string&) { return std::optional<std::uint64_t>(5); };
  for (int i = 0; i < 20000; ++i) {
    std::string line;
    if (i % 2 == 0) {
      std::size_t length = next() % 64;
      for (std::size_t j = 0; j < length; ++j) line += static_cast<char>(next() & 0xff);
    } else {
      line = std::string("[Interactive]") + keys[next() % 9] + std::to_string(next() % 3) + "=" +
             values[next() % 12];
      if (next() % 2) line = std::string("[Interactive]") + keys[next() % 9] + "=" + values[next() % 12];
    }
    ParseReplyLine(line, replies);
    if (i % 100 == 0) InterpretReplies(replies, status, ask, "/t", space);
  }
  EXPECT_LE(replies.size(), kMaxReplyKeys + 13);
  EXPECT_GE(status.error_class, 0);
  EXPECT_LE(status.error_class, 7);
}

}  // namespace
}  // namespace kestra::dlctl
