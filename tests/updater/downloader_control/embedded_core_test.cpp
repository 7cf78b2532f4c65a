// The downloader core embedded into the updater at build time: written out
// the way the updater does it and started.
#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"
#include "platform/pipe_process.h"
#include "platform/process.h"
#include "platform/resource.h"
#include "shared/interactive/interactive.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "updater/downloader_control/command_line.h"
#include "updater/downloader_control/extract.h"

namespace kestra::dlctl {
namespace {

class EmbeddedCore : public ::testing::Test {
 protected:
  void SetUp() override {
    // A tag of our own, so that no real updater's file is touched.
    tag_ = "Test-" + std::to_string(platform::process::CurrentPid());
    ASSERT_TRUE(ExtractDownloader(kDownloaderResourceId, path_, tag_));
  }
  void TearDown() override {
    if (pid_ && platform::process::IsAlive(*pid_)) platform::process::Kill(*pid_);
    if (pid_) platform::process::Wait(*pid_, 5000);
    platform::fs::RemoveFile(path_);
  }

  std::string tag_;
  std::string path_;
  std::optional<int> pid_;
};

TEST_F(EmbeddedCore, IsAProgramThatEndsAtOnceWithoutATask) {
  auto blob = platform::resource::Find(kDownloaderResourceType, kDownloaderResourceId);
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->substr(0, 4), "\x7f" "ELF");
  pid_ = platform::pipe_process::StartHidden({path_}, {});
  ASSERT_TRUE(pid_);
  EXPECT_EQ(platform::process::Wait(*pid_, 20000), 0);
}

TEST_F(EmbeddedCore, ConnectsToTheUpdatersLoopbackPort) {
  interactive::NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  kestra::test::TempDir target;
  DownloaderParams params;
  params.http_threads = 4;
  params.target_directory = target.path();
  params.task_url = "http://127.0.0.1:9/burrow/task.torrent";  // nothing listens there
  std::string line =
      AppendInteractivePort(BuildDownloaderCommandLine(path_, params), listener.port());
  pid_ = platform::pipe_process::StartHidden(CommandLineArguments(path_, line), {});
  ASSERT_TRUE(pid_);
  std::string reply;
  EXPECT_TRUE(kestra::test::WaitUntil(
      [&] {
        listener.ReadLine(reply);
        return listener.connected();
      },
      20000));
  listener.Write("quit\n");
}

}  // namespace
}  // namespace kestra::dlctl
