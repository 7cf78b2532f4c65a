#include "downloader/services/shell_info.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "shared/protocol/protocol.h"
#include "tests/downloader/services/fake_channel.h"

namespace zelt {
namespace {

class ShellInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOutputLevel(0);
    ShellInfo::Instance().SetChannel(&channel_);
  }
  void TearDown() override {
    ShellInfo::Instance().SetChannel(nullptr);
    SetOutputLevel(0);
  }
  test::FakeChannel channel_;
};

TEST_F(ShellInfoTest, OutputLevelsGateTheKindsOfLine) {
  struct Case {
    int level;
    int interactive, warning, info;  // results
  };
  const Case cases[] = {{-1, -1, -1, -1}, {0, 1, -1, -1}, {3, 1, -1, -1},
                        {4, 1, 1, -1},    {5, 1, 1, 1},    {6, 1, 1, 1}};
  for (const Case& c : cases) {
    SetOutputLevel(c.level);
    EXPECT_EQ(Interactive("Key=%d", c.level), c.interactive) << c.level;
    EXPECT_EQ(Warning("careful %s", "now"), c.warning) << c.level;
    EXPECT_EQ(Info("note"), c.info) << c.level;
    std::vector<std::string> expected;
    if (c.interactive == 1) expected.push_back("[Interactive]Key=" + std::to_string(c.level));
    if (c.warning == 1) expected.push_back("[Warning]careful now");
    if (c.info == 1) expected.push_back("[Info]note");
    EXPECT_EQ(channel_.TakeLines(), expected) << c.level;
  }
}

TEST_F(ShellInfoTest, EachLineIsTheTextThenASeparateLineFeed) {
  Interactive("%s", "succeeded");
  EXPECT_EQ(channel_.Writes(), (std::vector<std::string>{"[Interactive]succeeded", "\n"}));
}

TEST_F(ShellInfoTest, KeyValueLinesOfTheProtocol) {
  namespace proto = kestra::protocol;
  EXPECT_EQ(InteractiveValue(proto::kKeyError, "%s", proto::kErrOpenFile), 1);
  EXPECT_EQ(InteractiveValue(proto::kKeyVerifyPercentage, "%f", 0.25), 1);
  EXPECT_EQ(InteractiveValue(proto::kKeyErrorFile, "%s", ""), 1);  // an empty value stays a line
  EXPECT_EQ(channel_.TakeLines(), (std::vector<std::string>{"[Interactive]Error=OpenFile",
                                                             "[Interactive]VerifyPercentage=0.250000",
                                                             "[Interactive]ErrorFile="}));
  SetOutputLevel(-1);  // silenced like every interactive line
  EXPECT_EQ(InteractiveValue(proto::kKeyP2PState, "%d", 14), -1);
  EXPECT_TRUE(channel_.Writes().empty());
}

TEST_F(ShellInfoTest, LinesOfManyThreadsNeverMix) {
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) Interactive("T%d=%d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  std::vector<std::string> writes = channel_.Writes();
  ASSERT_EQ(writes.size(), 2u * kThreads * kLines);
  for (std::size_t i = 0; i < writes.size(); i += 2) {
    EXPECT_EQ(writes[i].rfind("[Interactive]T", 0), 0u) << writes[i];
    EXPECT_EQ(writes[i + 1], "\n");
  }
}

TEST(ShellInfoStdoutTest, WithoutAChannelLinesGoToStandardOutput) {
  ShellInfo::Instance().SetChannel(nullptr);
  SetOutputLevel(0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Interactive("P2PState=%d", 14), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[Interactive]P2PState=14\n");
}

}  // namespace
}  // namespace zelt
