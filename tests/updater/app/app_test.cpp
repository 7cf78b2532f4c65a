#include "updater/app/app.h"

#include <gtest/gtest.h>

namespace {

using namespace kestra::app;

struct ArgCase {
  const char* text;
  ParseStatus status;
  int type_code;
  int run_mode;
  const char* directory;
  int micro;
};

TEST(ParseArguments, Table) {
  const ArgCase cases[] = {
      {"0 D:\\Games\\Vandor", ParseStatus::Ok, 0, 0, "D:\\Games\\Vandor", -1},
      {"0 \"D:\\My Games\\Vandor\" 3", ParseStatus::Ok, 0, 0, "D:\\My Games\\Vandor", 3},
      {"2 D:\\Games\\Vandor 0", ParseStatus::Ok, 2, 1, "D:\\Games\\Vandor", 0},
      {"ffffffff D:\\Games\\Vandor", ParseStatus::Ok, -1, 2, "D:\\Games\\Vandor", -1},
      {"-1 D:\\Games\\Vandor", ParseStatus::Ok, -1, 2, "D:\\Games\\Vandor", -1},
      {"10 D:\\Games\\Vandor", ParseStatus::Ok, 16, 0, "D:\\Games\\Vandor", -1},
      {"5 D:\\G", ParseStatus::Ok, 5, 1, "D:\\G", -1},
      {"1 D:\\G", ParseStatus::Ok, 1, 1, "D:\\G", -1},
      {"9 D:\\G", ParseStatus::Ok, 9, 1, "D:\\G", -1},
      {"a D:\\G", ParseStatus::Ok, 10, 0, "D:\\G", -1},
      {"0x1f D:\\G", ParseStatus::Ok, 31, 0, "D:\\G", -1},
      {"0 D:\\G x", ParseStatus::Ok, 0, 0, "D:\\G", -1},
      {"0 D:\\G 7 trailing words", ParseStatus::Ok, 0, 0, "D:\\G", 7},
      {"0 D:\\G \"12\"", ParseStatus::Ok, 0, 0, "D:\\G", 12},
      {"0 D:\\G -3", ParseStatus::Ok, 0, 0, "D:\\G", -3},
      {"0 \"D:\\G\"5", ParseStatus::Ok, 0, 0, "D:\\G", -1},  // the next token starts after the closing quote's follower
      {"zz D:\\G", ParseStatus::Silent, 0, 0, "", -1},
      {"0", ParseStatus::ParameterError, 0, 0, "", -1},
      {"0 \"D:\\My Games", ParseStatus::ParameterError, 0, 0, "", -1},
      {"0  D:\\G", ParseStatus::Ok, 0, 0, "", -1},  // two blanks: an empty directory token
  };
  for (const auto& c : cases) {
    ParsedArguments r = ParseArguments(c.text);
    EXPECT_EQ(r.status, c.status) << c.text;
    if (r.status != ParseStatus::Ok || c.status != ParseStatus::Ok) continue;
    EXPECT_EQ(r.type_code, c.type_code) << c.text;
    EXPECT_EQ(r.run_mode, c.run_mode) << c.text;
    EXPECT_EQ(r.directory, c.directory) << c.text;
    EXPECT_EQ(r.micro_argument, c.micro) << c.text;
  }
}

TEST(StartUpPaths, InstallRootAndDownloadDirectory) {
  EXPECT_EQ(InstallRootOf("D:\\Games\\Vandor"), "D:\\Games\\Vandor/");
  EXPECT_EQ(InstallRootOf("/opt/vandor/"), "/opt/vandor//");
  EXPECT_EQ(DownloadDirectoryOf("D:\\Games\\Vandor"), "D:\\Games\\Vandor\\download");
  EXPECT_EQ(DownloadDirectoryOf("/opt/vandor"), "/opt/vandor\\download");
  EXPECT_EQ(DownloadDirectoryOf("\\"), "\\download");  // last backslash at position 0
}

TEST(StartUpPaths, ArgumentTextQuotesWhatHasBlanks) {
  const char* argv[] = {"kestra", "0", "/opt/My Games/Vandor", "3"};
  EXPECT_EQ(ArgumentText(4, argv), "0 \"/opt/My Games/Vandor\" 3");
  const char* none[] = {"kestra"};
  EXPECT_EQ(ArgumentText(1, none), "");
}

}  // namespace
