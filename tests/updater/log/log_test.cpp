#include "updater/log/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using namespace kestra::log;



std::vector<std::string> g_calls;

void RecordA(const char* format, va_list args) {
  char buffer[256];
  vsnprintf(buffer, sizeof buffer, format, args);
  g_calls.push_back(std::string("A:") + buffer);
}

void RecordB(const char* format, va_list args) {
  char buffer[256];
  vsnprintf(buffer, sizeof buffer, format, args);
  g_calls.push_back(std::string("B:") + buffer);
}

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    CloseAll();
    g_calls.clear();
    SetLogBaseDir(dir_.path() + "/");
  }
  void TearDown() override { CloseAll(); }
  std::string LogText() {
    CloseAll();
    return dir_.Read("Log/kestra.log");
  }
  kestra::test::TempDir dir_;
};

TEST_F(LogTest, FirstLineInfoAndErrorLines) {
  ASSERT_EQ(OpenChannel(0, "kestra.log", "KestraTool"), 0);
  LogInfo("hello %d", 42);
  LogError("abc");
  std::string text = LogText();
  std::regex expected(
      "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] Filename: kestra\\.log\r\n"
      "\\[\\d{2}:\\d{2}:\\d{2}\\] \\[KestraTool\\] hello 42\r\n"
      "\\[\\d{2}:\\d{2}:\\d{2}\\] \\[KestraTool\\] \\[ERROR\\]\r\n\\*{47}\r\nabc\r\n\\*{47}\r\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogTest, LineBreaksInsideAMessageBecomeCrLf) {
  ASSERT_EQ(OpenChannel(0, "kestra.log", "K"), 0);
  LogInfo("a\nb");
  EXPECT_NE(LogText().find("a\r\nb\r\n"), std::string::npos);
}

TEST_F(LogTest, ErrorCallbacksRunInOrderOnceEachWithTheSameArguments) {
  ASSERT_EQ(OpenChannel(0, "kestra.log", "K"), 0);
  AddErrorCallback(0, RecordA);
  AddErrorCallback(0, RecordB);
  AddErrorCallback(0, RecordA);  // already there
  LogInfo("not an error");
  LogError("code %d %s", 7, "x");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"A:code 7 x", "B:code 7 x"}));
}

TEST_F(LogTest, ChannelIdsAndSharedFiles) {
  EXPECT_EQ(OpenChannel(0, "kestra.log", "First"), 0);
  EXPECT_EQ(OpenChannel(0, "other.log", "Again"), -1);  // id in use
  EXPECT_EQ(OpenChannel(-1, "kestra.log", "Second"), 1);
  EXPECT_EQ(OpenChannel(-1, "kestra.log", "Third"), 2);
  Info(1, "from second");
  std::string text = LogText();
  EXPECT_EQ(text.find("Filename"), text.rfind("Filename"));  // one first line
  EXPECT_NE(text.find("[Second] from second"), std::string::npos);
  EXPECT_FALSE(dir_.Exists("Log/other.log"));
}

TEST_F(LogTest, LinesForClosedChannelsAreDropped) {
  Info(5, "nobody");
  Error(5, "nobody");
  ASSERT_EQ(OpenChannel(0, "kestra.log", "K"), 0);
  EXPECT_EQ(LogText().find("nobody"), std::string::npos);
}

TEST_F(LogTest, ASecondRunEmptiesTheFile) {
  ASSERT_EQ(OpenChannel(0, "kestra.log", "K"), 0);
  LogInfo("first run");
  CloseAll();
  SetLogBaseDir(dir_.path() + "/");
  ASSERT_EQ(OpenChannel(0, "kestra.log", "K"), 0);
  LogInfo("second run");
  std::string text = LogText();
  EXPECT_EQ(text.find("first run"), std::string::npos);
  EXPECT_NE(text.find("second run"), std::string::npos);
}

TEST_F(LogTest, UnwritableLogFolderIsSilent) {
  // A file where the Log folder should be: nothing can be created there.
  CloseAll();
  dir_.Write("blocked/Log", "a file, not a folder");
  SetLogBaseDir(dir_.path() + "/blocked/");
  EXPECT_EQ(OpenChannel(0, "kestra.log", "K"), -1);
  LogInfo("dropped");
  LogError("dropped");
  EXPECT_EQ(dir_.Read("blocked/Log"), "a file, not a folder");
}

}  // namespace
