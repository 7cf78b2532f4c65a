#include "updater/downloader_control/download_flow.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_core_fixture.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "shared/protocol/protocol.h"
#include "updater/ui/dialog.h"
#include "updater/ui/script_frontend.h"

namespace kestra::dlctl {
namespace {

using test::FakeCoreSetup;
using test::WaitUntil;

// ---- Pieces without a process -------------------------------------------------

TEST(StageAndErrorTexts, TablesHoldTheDialogTexts) {
  EXPECT_STREQ(StageText(0), "程序初始化...");
  EXPECT_STREQ(StageText(3), "初始化P2P网络...");
  EXPECT_STREQ(StageText(4), "P2P网络初始化错误");
  EXPECT_STREQ(StageText(7), "检查版本信息...");
  EXPECT_STREQ(StageText(8), "下载更新文件列表...");
  EXPECT_STREQ(StageText(10), "分析文件列表");
  EXPECT_STREQ(StageText(12), "扫描本地文件信息...");
  EXPECT_STREQ(StageText(13), "分析文件列表失败");
  EXPECT_STREQ(StageText(14), "正在下载...");
  EXPECT_STREQ(StageText(15), "下载完成！");
  EXPECT_STREQ(StageText(16), "退出程序");
  for (int none : {1, 2, 5, 6, 9, 11, 17, 18, -1, 1000}) EXPECT_EQ(StageText(none), nullptr) << none;

  EXPECT_STREQ(ErrorText(1), "硬盘空间不够，请清理硬盘。");
  EXPECT_STREQ(ErrorText(4), "文件写入错误，请确保修复目录的客户端不在运行中。");
  EXPECT_STREQ(ErrorText(5), "下载任务配置文件失败，请确保网络通畅。");
  EXPECT_STREQ(ErrorText(6), "下载任务验证信息失败，请确保网络通畅。");
  for (int none : {0, 2, 3, 7, 8, -1}) EXPECT_EQ(ErrorText(none), nullptr) << none;
}

TEST(RateRing, AverageCountsUnwrittenEntriesAsZero) {
  std::array<float, 10> ring{};
  EXPECT_EQ(RingAverage(ring), 0.0f);
  ring[0] = 10;
  EXPECT_EQ(RingAverage(ring), 1.0f);
  ring.fill(5);
  EXPECT_FLOAT_EQ(RingAverage(ring), 5.0f);
}

struct TimeCase {
  std::uint64_t incomplete;
  float average;
  const char* text;
};

class RemainingTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(RemainingTime, FormatsHoursMinutesSecondsOrUncertain) {
  EXPECT_EQ(RemainingTimeText(GetParam().incomplete, GetParam().average), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemainingTime,
    ::testing::Values(TimeCase{3600000, 1.0f, "01:00:00"},
                      TimeCase{3600000, 0.1f, "不确定"},  // at most 0.1 is uncertain
                      TimeCase{3600000, 0.0f, "不确定"},
                      TimeCase{3600000, -4.0f, "不确定"},
                      TimeCase{3600000, 0.2f, "04:59:59"},
                      TimeCase{0, 5.0f, "00:00:00"},
                      TimeCase{61500, 1.0f, "00:01:01"},
                      TimeCase{359999000, 1.0f, "99:59:59"},
                      TimeCase{360000000, 1.0f, "不确定"},  // more than 99 hours
                      TimeCase{std::numeric_limits<std::uint64_t>::max(), 0.2f, "不确定"},
                      TimeCase{std::numeric_limits<std::uint64_t>::max(), 3e38f, "00:00:00"}));

TEST(RateLineText, IsTheDialogsSpeedLine) {
  EXPECT_EQ(RateLine(1.0f, 0.2f, "01:00:00", 25.0f),
            "下: 1.00kB/s    上: 0.20kB/s    剩余时间: 01:00:00 (25.00%)");
  // Absurd rates still give a complete line.
  std::string huge = RateLine(3e38f, 3e38f, "不确定", 100.0f);
  EXPECT_GT(huge.size(), 80u);
  EXPECT_EQ(huge.substr(huge.size() - 9), "(100.00%)");
}

// ---- The flow against the stand-in core ---------------------------------------

class RecordingSink : public DownloadProgressSink {
 public:
  void SendProgress(int percent, const std::string& text) override {
    progress.emplace_back(percent, text);
  }
  void PostTotal(std::uint64_t total_bytes) override { totals.push_back(total_bytes); }

  bool HasText(const std::string& text) const {
    for (const auto& [percent, t] : progress) {
      if (t == text) return true;
    }
    return false;
  }

  std::vector<std::pair<int, std::string>> progress;
  std::vector<std::uint64_t> totals;
};

class DownloadFlowTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (control_.child_pid() != 0) setup_.Track(control_.child_pid());
  }

  DownloaderControl::Dependencies Deps() {
    auto deps = DownloaderControl::DefaultDependencies();
    deps.show_error = [this](const std::string& text) { error_boxes_.push_back(text); };
    return deps;
  }

  DownloadSession Session() {
    DownloadSession session;
    session.run_mode = [this] { return run_mode_; };
    session.with_remaining_downloads = [this](const std::function<void(int&)>& fn) {
      std::lock_guard lock(session_lock_);
      in_lock_ = true;
      fn(remaining_);
      in_lock_ = false;
    };
    session.set_expansion_result = [this](bool value) { expansion_result_ = value; };
    session.post_to_main_window = [this](unsigned message) {
      posted_.push_back(message);
      posted_in_lock_.push_back(in_lock_);
      return true;
    };
    return session;
  }

  int Run(const std::string& script, DownloadFlow::ExtractFunction extract = nullptr) {
    setup_.WriteScript(script);
    if (!extract) {
      extract = [this](std::string& path) {
        ++extract_calls_;
        return ExtractDownloader(setup_.Environment(), kDownloaderResourceId, path,
                                 kDownloaderVersionTag);
      };
    }
    DownloadFlow flow(control_, Session(), sink_, extract,
                      [this](bool error, const std::string& line) {
                        log_.emplace_back(error, line);
                      },
                      options_);
    return flow.Run("http://127.0.0.1:1/burrow/1.0.1/task.torrent", setup_.target());
  }

  bool Logged(bool error, const std::string& line) const {
    for (const auto& entry : log_) {
      if (entry.first == error && entry.second == line) return true;
    }
    return false;
  }

  FakeCoreSetup setup_;
  DownloaderControl control_{Deps()};
  RecordingSink sink_;
  DownloadFlowOptions options_{.poll_interval_ms = 20, .retry_interval_ms = 5};
  std::vector<std::string> error_boxes_;
  std::vector<std::pair<bool, std::string>> log_;
  std::recursive_mutex session_lock_;
  bool in_lock_ = false;
  int run_mode_ = 0;
  int remaining_ = 1;
  bool expansion_result_ = false;
  std::vector<unsigned> posted_;
  std::vector<bool> posted_in_lock_;
  int extract_calls_ = 0;
};

TEST_F(DownloadFlowTest, CompletionCountsThePatchAndPostsThePhaseEnd) {
  EXPECT_EQ(Run("set TotalByte 4096\n"
                "set PercentageDownloaded 50.000000\n"
                "state 14\n"
                "sleep 200\n"
                "state 15\n"),
            0);
  EXPECT_EQ(remaining_, 0);
  EXPECT_EQ(posted_, std::vector<unsigned>{kMsgDownloadPhaseDone});
  EXPECT_EQ(posted_in_lock_, std::vector<bool>{true});
  EXPECT_FALSE(expansion_result_);
  ASSERT_FALSE(sink_.progress.empty());
  EXPECT_EQ(sink_.progress.back(), (std::pair<int, std::string>{100, ""}));
  EXPECT_EQ(sink_.totals, std::vector<std::uint64_t>{4096});
  EXPECT_EQ(setup_.Count(protocol::kCmdQuit), 1);
  EXPECT_TRUE(error_boxes_.empty());
  EXPECT_FALSE(control_.has_channel());
  EXPECT_FALSE(control_.IsDownloaderRunning());
  EXPECT_EQ(log_.front(), (std::pair<bool, std::string>{false, "正在启动下载器"}));
  EXPECT_TRUE(Logged(false, "下载器启动成功，开始下载patch"));
  for (const auto& entry : log_) EXPECT_FALSE(entry.first) << entry.second;
}

TEST_F(DownloadFlowTest, CompletionWithNoRemainingDownloadsStillPostsThePhaseEnd) {
  remaining_ = 0;
  Run("state 15\n");
  EXPECT_EQ(remaining_, 0);
  EXPECT_EQ(posted_, std::vector<unsigned>{kMsgDownloadPhaseDone});
}

TEST_F(DownloadFlowTest, CompletionWithMorePatchesToGoPostsNothing) {
  remaining_ = 3;
  Run("state 15\n");
  EXPECT_EQ(remaining_, 2);
  EXPECT_TRUE(posted_.empty());
}

TEST_F(DownloadFlowTest, PackDownloadSetsTheExpansionResult) {
  for (int mode : {1, 2}) {
    run_mode_ = mode;
    expansion_result_ = false;
    posted_.clear();
    Run("state 15\n");
    if (control_.child_pid() != 0) setup_.Track(control_.child_pid());
    EXPECT_TRUE(expansion_result_) << mode;
    EXPECT_EQ(posted_, std::vector<unsigned>{kMsgPackDownloadDone}) << mode;
    EXPECT_EQ(remaining_, 1) << mode;
  }
}

TEST_F(DownloadFlowTest, ErrorShowsItsTextSendsQuitAndChangesNothing) {
  Run("set PercentageDownloaded 12.700000\n"
      "state 6\n"
      "send [Interactive]Error=DownloadTorrent\n");
  const std::string text = "下载任务配置文件失败，请确保网络通畅。";
  ASSERT_FALSE(sink_.progress.empty());
  EXPECT_EQ(sink_.progress.back().second, text);
  EXPECT_TRUE(Logged(true, "下载发生错误，错误信息：" + text));
  EXPECT_EQ(setup_.Count(protocol::kCmdQuit), 1);
  EXPECT_EQ(remaining_, 1);
  EXPECT_TRUE(posted_.empty());
  EXPECT_FALSE(expansion_result_);
}

TEST_F(DownloadFlowTest, ErrorWithoutTextShowsAnEmptyText) {
  Run("state 14\n"
      "send [Interactive]ErrorCode=5\n"
      "send [Interactive]ErrorFile=a.pak\n"
      "send [Interactive]Error=OpenFile\n");
  ASSERT_FALSE(sink_.progress.empty());
  EXPECT_EQ(sink_.progress.back().second, "");
  EXPECT_TRUE(Logged(true, "下载发生错误，错误信息："));
  EXPECT_EQ(remaining_, 1);
}

TEST_F(DownloadFlowTest, ScanningStateShowsTheFileNameOnceKnown) {
  Run("state 12\n"
      "sleep 300\n"
      "set FileName data\\base.pak\n"
      "sleep 300\n"
      "state 15\n");
  EXPECT_TRUE(sink_.HasText("扫描本地文件信息..."));
  EXPECT_TRUE(sink_.HasText("扫描本地文件信息...data\\base.pak"));
  // The plain stage text comes first.
  std::size_t plain = 0, named = 0;
  for (std::size_t i = 0; i < sink_.progress.size(); ++i) {
    if (sink_.progress[i].second == "扫描本地文件信息..." && plain == 0) plain = i + 1;
    if (sink_.progress[i].second == "扫描本地文件信息...data\\base.pak" && named == 0) named = i + 1;
  }
  EXPECT_LT(plain, named);
}

TEST_F(DownloadFlowTest, DownloadingShowsRatesAndTimeLeft) {
  Run("set IncompleteByte 3600000\n"
      "set DownloadBandWidth 10.000000\n"
      "set UploadBandWidth 2.000000\n"
      "set PercentageDownloaded 25.000000\n"
      "set TotalByte 9000000\n"
      "state 14\n"
      "sleep 600\n"
      "state 15\n");
  // One rate sample of 10 kB/s in the ring averages 1.00, two average 2.00.
  EXPECT_TRUE(sink_.HasText("下: 1.00kB/s    上: 0.20kB/s    剩余时间: 01:00:00 (25.00%)"));
  EXPECT_TRUE(sink_.HasText("下: 2.00kB/s    上: 0.40kB/s    剩余时间: 00:30:00 (25.00%)"));
  bool percent_seen = false;
  for (const auto& [percent, text] : sink_.progress) percent_seen = percent_seen || percent == 25;
  EXPECT_TRUE(percent_seen);
  EXPECT_EQ(sink_.totals, std::vector<std::uint64_t>{9000000});
}

TEST_F(DownloadFlowTest, TotalThatStaysZeroIsNeverPosted) {
  Run("state 14\nsleep 200\nstate 15\n");
  EXPECT_TRUE(sink_.totals.empty());
  EXPECT_EQ(remaining_, 0);
}

// A small package can be complete before the answer with its size is read:
// the answer comes while the flow waits for the end, or is still waiting on
// the channel of a core that has already ended.
TEST_F(DownloadFlowTest, TotalThatArrivesAfterCompletionIsStillPosted) {
  Run("noquit\nstate 15\nsleep 100\nset TotalByte 4096\n");
  EXPECT_EQ(remaining_, 0);
  EXPECT_EQ(sink_.totals, std::vector<std::uint64_t>{4096});
}

TEST_F(DownloadFlowTest, TotalWaitingOnTheChannelOfAnEndedCoreIsPosted) {
  Run("set TotalByte 4096\nstate 15\n");
  EXPECT_EQ(remaining_, 0);
  EXPECT_EQ(sink_.totals, std::vector<std::uint64_t>{4096});
}

TEST_F(DownloadFlowTest, CoreThatNeverExitsAfterQuitIsLeftAfter31Polls) {
  Run("noquit\nstate 15\n");
  EXPECT_TRUE(Logged(true, "等待下载器结束超时"));
  EXPECT_EQ(remaining_, 0);
  EXPECT_FALSE(control_.has_channel());
  // Left running, never killed by the flow.
  EXPECT_TRUE(control_.IsDownloaderRunning());
  // Every poll after "quit" sent "stat": exactly 31 of them.
  ASSERT_TRUE(WaitUntil([&] { return setup_.CountAfter("quit", "stat") >= 31; }));
  EXPECT_EQ(setup_.CountAfter("quit", "stat"), 31);
  EXPECT_EQ(setup_.Count(protocol::kCmdQuit), 1);
}

TEST_F(DownloadFlowTest, CoreThatEndsWithoutCompletionChangesNothing) {
  Run("state 14\nsleep 100\nexit 0\n");
  EXPECT_EQ(remaining_, 1);
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(setup_.Count(protocol::kCmdQuit), 0);
  EXPECT_FALSE(control_.has_channel());
}

TEST_F(DownloadFlowTest, GarbageFromTheCoreDoesNotStopTheDownload) {
  Run("send \x01\x02\x03\n"
      "send [Interactive]P2PState=99999999999999\n"
      "send [Interactive]PercentageDownloaded=1e999\n"
      "send [Interactive]PercentageDownloaded=-50\n"
      "raw [Interactive]no line feed yet\n"
      "flood 5000\n"
      "send \n"
      "state 14\n"
      "sleep 100\n"
      "state 15\n");
  EXPECT_EQ(remaining_, 0);
  for (const auto& [percent, text] : sink_.progress) {
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
  }
}

TEST_F(DownloadFlowTest, QuitFromTheCancelPathEndsTheFlowWithoutSuccess) {
  std::thread cancel([this] {
    // The dialog's thread, while the worker polls.
    WaitUntil([this] { return setup_.Count(protocol::kCmdStat) >= 3; });
    control_.SendDownloaderCommand(protocol::kCmdQuit);
  });
  Run("set PercentageDownloaded 10.000000\nstate 14\n");
  cancel.join();
  EXPECT_EQ(setup_.Count(protocol::kCmdQuit), 1);
  EXPECT_EQ(remaining_, 1);
  EXPECT_TRUE(posted_.empty());
  EXPECT_FALSE(control_.has_channel());
}

TEST_F(DownloadFlowTest, FiveFailedExtractionsGiveUp) {
  int calls = 0;
  EXPECT_EQ(Run("", [&](std::string&) {
              ++calls;
              return false;
            }),
            0);
  EXPECT_EQ(calls, 5);
  std::vector<std::pair<bool, std::string>> expected = {{false, "正在启动下载器"}};
  for (int left = 4; left >= 0; --left) {
    expected.emplace_back(false, "下载器启动失败，重新尝试。剩余尝试次数:" +
                                     std::to_string(left) + "次");
  }
  expected.emplace_back(true, "下载器启动失败!");
  EXPECT_EQ(log_, expected);
  EXPECT_TRUE(sink_.progress.empty());
  EXPECT_FALSE(control_.has_channel());
  EXPECT_EQ(remaining_, 1);
}

TEST_F(DownloadFlowTest, ExtractionThatSucceedsOnTheThirdAttempt) {
  int calls = 0;
  Run("state 15\n", [&](std::string& path) {
    if (++calls < 3) return false;
    return ExtractDownloader(setup_.Environment(), kDownloaderResourceId, path, "Vandor-1.0");
  });
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(Logged(false, "下载器启动失败，重新尝试。剩余尝试次数:4次"));
  EXPECT_TRUE(Logged(false, "下载器启动失败，重新尝试。剩余尝试次数:3次"));
  EXPECT_FALSE(Logged(false, "下载器启动失败，重新尝试。剩余尝试次数:2次"));
  EXPECT_EQ(remaining_, 0);
}

TEST_F(DownloadFlowTest, ProcessThatCannotBeCreatedEndsTheFlowAtOnce) {
  std::string not_a_program = setup_.bin_dir() + "/plain.txt";
  ASSERT_TRUE(platform::fs::WriteWholeFile(not_a_program, "text"));
  Run("", [&](std::string& path) {
    path = not_a_program;
    return true;
  });
  EXPECT_EQ(error_boxes_,
            std::vector<std::string>{"启动下载器内核进程失败, 错误码: " + std::to_string(EACCES)});
  EXPECT_TRUE(Logged(false, "下载器启动成功，开始下载patch"));
  EXPECT_TRUE(sink_.progress.empty());
  EXPECT_EQ(remaining_, 1);
  EXPECT_FALSE(control_.has_channel());
}

// ---- The sink over a real dialog ----------------------------------------------

class RecordingDialog : public ui::Dialog {
 public:
  using ui::Dialog::Dialog;
  static constexpr unsigned kEnd = 0x7000;
  std::vector<std::pair<int, std::string>> progress;
  std::vector<std::uint64_t> totals;

 protected:
  ui::LResult OnMessage(unsigned message, ui::WParam wparam, ui::LParam lparam) override {
    if (message == kMsgProgress) {
      std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lparam));
      progress.emplace_back(static_cast<int>(wparam), *text);
    } else if (message == kMsgTotalSize) {
      std::unique_ptr<std::uint64_t> total(reinterpret_cast<std::uint64_t*>(lparam));
      totals.push_back(*total);
    } else if (message == kEnd) {
      EndDialog(0);
    }
    return 0;
  }
};

TEST(DialogProgressSink, HandsHeapBlocksToTheDialog) {
  kestra::test::TempDir dir;
  ui::ScriptConfig config;
  config.transcript_file = dir / "transcript.jsonl";
  ui::ScriptFrontend frontend(config);
  RecordingDialog dialog(ui::DialogTemplate{}, &frontend);
  std::thread worker([&] {
    DialogProgressSink sink(&dialog);
    sink.SendProgress(42, "正在下载...");
    sink.PostTotal(5000000000u);
    sink.SendProgress(100, "");
    dialog.Post(RecordingDialog::kEnd);
  });
  dialog.RunModal();
  worker.join();
  EXPECT_EQ(dialog.progress, (std::vector<std::pair<int, std::string>>{{42, "正在下载..."},
                                                                       {100, ""}}));
  EXPECT_EQ(dialog.totals, std::vector<std::uint64_t>{5000000000u});

  // After the dialog has ended nothing reaches it (and nothing is handed over).
  DialogProgressSink late(&dialog);
  late.SendProgress(7, "late");
  late.PostTotal(7);
  EXPECT_EQ(dialog.progress.size(), 2u);
  EXPECT_EQ(dialog.totals.size(), 1u);

  DialogProgressSink nowhere(nullptr);
  nowhere.SendProgress(1, "x");  // no dialog: nothing happens
  nowhere.PostTotal(1);
}

}  // namespace
}  // namespace kestra::dlctl
