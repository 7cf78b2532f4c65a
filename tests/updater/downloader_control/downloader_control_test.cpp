#include "updater/downloader_control/downloader_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fake_core_fixture.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "shared/protocol/protocol.h"

namespace kestra::dlctl {
namespace {

using test::FakeCoreSetup;
using test::WaitUntil;

class DownloaderControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ExtractDownloader(setup_.Environment(), kDownloaderResourceId, exe_,
                                  kDownloaderVersionTag));
  }
  void TearDown() override {
    if (control_->child_pid() != 0) setup_.Track(control_->child_pid());
    control_->CloseDownloaderChannel();
  }

  DownloaderControl::Dependencies Deps() {
    auto deps = DownloaderControl::DefaultDependencies();
    deps.show_error = [this](const std::string& text) { errors_.push_back(text); };
    deps.free_space = [this](const std::string& dir) {
      free_space_dirs_.push_back(dir);
      return free_space_;
    };
    return deps;
  }

  DownloaderParams Params() {
    DownloaderParams params;
    params.http_threads = 4;
    params.task_url = "http://127.0.0.1:1/burrow/task.torrent";
    params.target_directory = setup_.target();
    return params;
  }

  // Polls until pred holds for the status (bounded).
  bool PollUntil(const std::function<bool(const DownloaderStatus&)>& pred) {
    return WaitUntil(
        [&] {
          control_->PollDownloader(status_);
          return pred(status_);
        },
        kestra::test::kDefaultWaitMs, 10);
  }

  FakeCoreSetup setup_;
  std::string exe_;
  std::vector<std::string> errors_;
  std::vector<std::string> free_space_dirs_;
  std::optional<std::uint64_t> free_space_ = 1u << 30;
  std::unique_ptr<DownloaderControl> control_ = std::make_unique<DownloaderControl>(Deps());
  DownloaderStatus status_;
};

TEST_F(DownloaderControlTest, StartConnectsOverLoopbackAndPollFillsTheStatus) {
  setup_.WriteScript(
      "set TotalByte 5000\n"
      "set IncompleteByte 1200\n"
      "set PercentageDownloaded 76.000000\n"
      "set DownloadBandWidth 12.500000\n"
      "set FileName data\\patch.pak\n"
      "state 14\n");
  control_->StartDownloader(exe_, Params());
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(control_->IsDownloaderRunning());
  // The port switch comes last and names the channel's port.
  const std::string& line = control_->last_command_line();
  std::string prefix = exe_ + " -Dir \"" + setup_.target() + "\" -HttpUrl http://127.0.0.1:1/burrow"
                       " -Torrent task.torrent -Mode  -HttpThread 4 -P2PUploadThread 6"
                       " -P2PUploadListSize 12 -DownloadLimit 1000000 -UploadLimit 1000000"
                       " -DeleteDownloadInfo -InteractivePort ";
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  int port = std::stoi(line.substr(prefix.size()));
  EXPECT_GE(port, 10000);
  EXPECT_LE(port, 42767);

  ASSERT_TRUE(PollUntil([](const DownloaderStatus& s) {
    return s.total_bytes == 5000 && s.file_name == "data\\patch.pak" && s.state == 14;
  }));
  EXPECT_EQ(status_.incomplete_bytes, 1200u);
  EXPECT_FLOAT_EQ(status_.percentage_downloaded, 76.0f);
  EXPECT_FLOAT_EQ(status_.download_rate, 12.5f);
  EXPECT_FALSE(control_->ask_file_name());

  // Once the name is known "get qf 0" is no longer sent. A command the core
  // ignores marks how far it has read.
  ASSERT_TRUE(control_->SendDownloaderCommand("get marker-1"));
  ASSERT_TRUE(WaitUntil([&] { return setup_.Count("get marker-1") == 1; }));
  int asked = setup_.Count("get qf 0");
  EXPECT_GE(asked, 1);
  int stats = setup_.Count(protocol::kCmdStat);
  for (int i = 0; i < 3; ++i) control_->PollDownloader(status_);
  ASSERT_TRUE(control_->SendDownloaderCommand("get marker-2"));
  ASSERT_TRUE(WaitUntil([&] { return setup_.Count("get marker-2") == 1; }));
  EXPECT_EQ(setup_.Count(protocol::kCmdStat), stats + 3);
  EXPECT_EQ(setup_.Count("get qf 0"), asked);
  EXPECT_GE(setup_.Count("get tb"), 3);
}

TEST_F(DownloaderControlTest, QuitEndsTheCoreAndTheReapedChildIsNotRunning) {
  setup_.WriteScript("state 14\n");
  control_->StartDownloader(exe_, Params());
  ASSERT_TRUE(PollUntil([](const DownloaderStatus& s) { return s.state == 14; }));
  ASSERT_TRUE(control_->SendDownloaderCommand(protocol::kCmdQuit));
  EXPECT_TRUE(WaitUntil([&] { return !control_->IsDownloaderRunning(); }));
  EXPECT_EQ(setup_.Count(protocol::kCmdQuit), 1);
  control_->CloseDownloaderChannel();
  EXPECT_FALSE(control_->has_channel());
  EXPECT_FALSE(control_->SendDownloaderCommand(protocol::kCmdStat));
  EXPECT_FALSE(control_->PollDownloader(status_));
}

TEST_F(DownloaderControlTest, FailedStartShowsTheSystemErrorCode) {
  control_->StartDownloader(setup_.bin_dir() + "/missing.exe", Params());
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "启动下载器内核进程失败, 错误码: " + std::to_string(ENOENT));
  EXPECT_FALSE(control_->IsDownloaderRunning());
  EXPECT_EQ(control_->child_pid(), 0);
  // The channel stays in place; commands simply go nowhere.
  EXPECT_TRUE(control_->has_channel());
  EXPECT_FALSE(control_->SendDownloaderCommand(protocol::kCmdQuit));
}

TEST_F(DownloaderControlTest, NotExecutableFileGivesPermissionDenied) {
  std::string data = setup_.bin_dir() + "/data.bin";
  ASSERT_TRUE(platform::fs::WriteWholeFile(data, "not a program"));
  control_->StartDownloader(data, Params());
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "启动下载器内核进程失败, 错误码: " + std::to_string(EACCES));
}

TEST_F(DownloaderControlTest, DiskFullIsCheckedAgainAtEveryPoll) {
  setup_.WriteScript(
      "set IncompleteByte 1000\n"
      "send [Interactive]ErrorCode=112\n"
      "send [Interactive]ErrorFile=data\\big.pak\n"
      "send [Interactive]Error=WriteFile\n");
  free_space_ = 10;
  control_->StartDownloader(exe_, Params());
  ASSERT_TRUE(PollUntil([](const DownloaderStatus& s) {
    return s.error_class == kDiskFull && s.incomplete_bytes == 1000;
  }));
  EXPECT_EQ(status_.error_code, 112);
  EXPECT_EQ(status_.error_file, "data\\big.pak");
  // Space freed: the same error now reads as a write error.
  free_space_ = 5000;
  control_->PollDownloader(status_);
  EXPECT_EQ(status_.error_class, kWriteFileError);
  for (const std::string& dir : free_space_dirs_) EXPECT_EQ(dir, setup_.target());
}

TEST_F(DownloaderControlTest, ReplyMapStartsEmptyAtEachLaunch) {
  setup_.WriteScript("set TotalByte 42\nstate 7\n");
  control_->StartDownloader(exe_, Params());
  ASSERT_TRUE(PollUntil([](const DownloaderStatus& s) { return s.total_bytes == 42; }));
  EXPECT_FALSE(control_->replies().empty());
  ASSERT_TRUE(control_->SendDownloaderCommand(protocol::kCmdQuit));
  ASSERT_TRUE(WaitUntil([&] { return !control_->IsDownloaderRunning(); }));
  control_->CloseDownloaderChannel();

  setup_.WriteScript("");
  control_->StartDownloader(exe_, Params());
  EXPECT_TRUE(control_->replies().empty());
  EXPECT_TRUE(control_->ask_file_name());
  control_->PollDownloader(status_);
  EXPECT_EQ(status_.total_bytes, 0u);  // the status was reset as well
}

TEST_F(DownloaderControlTest, PipeTransportTalksOverTheStandardStreams) {
  setup_.WriteScript("set TotalByte 777\nstate 12\n");
  std::string line = BuildDownloaderCommandLine(exe_, Params());
  ASSERT_TRUE(control_->LaunchWithChannel(exe_, line, Transport::Pipes));
  EXPECT_EQ(control_->last_command_line(), line);  // no port switch
  ASSERT_TRUE(PollUntil([](const DownloaderStatus& s) {
    return s.total_bytes == 777 && s.state == 12;
  }));
  ASSERT_TRUE(control_->SendDownloaderCommand(protocol::kCmdQuit));
  EXPECT_TRUE(WaitUntil([&] { return !control_->IsDownloaderRunning(); }));
}

TEST_F(DownloaderControlTest, GarbageFromTheCoreDoesNotStopThePolls) {
  setup_.WriteScript(
      "send no brackets at all\n"
      "send [Interactive]novalue\n"
      "send [Interactive]P2PState=banana\n"
      "send [Interactive]TotalByte=-1\n"
      "send [Interactive]Percentage=nan\n"
      "send ]]]]====[[[\n"
      "flood 20000\n"
      "send \n"
      "set TotalByte 9\n"
      "state 15\n");
  control_->StartDownloader(exe_, Params());
  ASSERT_TRUE(PollUntil([](const DownloaderStatus& s) {
    return s.state == 15 && s.total_bytes == 9;
  }));
  EXPECT_FLOAT_EQ(status_.percentage, 0.0f);
}

TEST_F(DownloaderControlTest, NewLaunchClosesTheEarlierChannel) {
  setup_.WriteScript("");
  control_->StartDownloader(exe_, Params());
  const std::string first = control_->last_command_line();
  const std::string marker = "-InteractivePort ";
  auto first_port = static_cast<std::uint16_t>(
      std::stoi(first.substr(first.rfind(marker) + marker.size())));
  setup_.Track(control_->child_pid());
  control_->StartDownloader(exe_, Params());
  EXPECT_NE(control_->last_command_line(), first);
  // Nobody listens on the first port any more.
  interactive::NetworkInteractive probe(first_port);
  EXPECT_FALSE(probe.Open());
}

TEST_F(DownloaderControlTest, ProgramThatConnectsFirstCannotTakeTheCoresPlace) {
  setup_.WriteScript("state 14\n");
  namespace net = platform::net;
  net::Socket intruder;
  auto deps = Deps();
  auto start = deps.start_process;
  deps.start_process = [&](const std::vector<std::string>& argv,
                           const platform::pipe_process::StdHandles& handles, int* error) {
    // Connects to the port of the command line before the core even starts.
    intruder = net::ConnectTcp(
        {net::kLoopbackIpv4, static_cast<std::uint16_t>(std::stoi(argv.back()))}, 5000);
    const std::string lies = "[Interactive]P2PState=15\n[Interactive]TotalByte=1\n";
    net::SendAll(intruder, lies, 1000);
    return start(argv, handles, error);
  };
  control_ = std::make_unique<DownloaderControl>(deps);
  control_->StartDownloader(exe_, Params());
  ASSERT_TRUE(intruder.IsOpen());
  // The core's own answers arrive; the intruder's lines never do.
  ASSERT_TRUE(PollUntil([this](const DownloaderStatus& s) {
    return s.state == 14 && control_->replies().count("TotalByte") == 1;
  }));
  EXPECT_EQ(control_->replies().at("TotalByte"), "0");
  EXPECT_EQ(status_.total_bytes, 0u);
  intruder.Close();
}

TEST(DownloaderControlWithoutChannel, EverythingReportsFailure) {
  DownloaderControl control;
  DownloaderStatus status;
  status.state = 5;
  EXPECT_FALSE(control.SendDownloaderCommand(protocol::kCmdStat));
  EXPECT_FALSE(control.RequestDownloaderValue("tb"));
  EXPECT_FALSE(control.PollDownloader(status));
  EXPECT_EQ(status.state, 5);
  EXPECT_FALSE(control.IsDownloaderRunning());
  control.CloseDownloaderChannel();
  // The process-wide one, as the dialog's cancel path uses it.
  EXPECT_FALSE(SendDownloaderCommand(protocol::kCmdQuit));
}

}  // namespace
}  // namespace kestra::dlctl
