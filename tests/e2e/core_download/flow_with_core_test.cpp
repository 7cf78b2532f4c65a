// The updater's download flow with the real downloader core it carries:
// the program is written out from the updater's resources, started, polled
// once a second and told to quit, and the package ends up in the download
// directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/e2e/core_download/core_fixture.h"
#include "tests/support/temp_dir.h"
#include "updater/downloader_control/download_flow.h"
#include "updater/downloader_control/extract.h"

namespace kestra::e2e {
namespace {

class RecordingSink : public dlctl::DownloadProgressSink {
 public:
  void SendProgress(int percent, const std::string& text) override {
    std::lock_guard lock(mutex);
    progress.emplace_back(percent, text);
  }
  void PostTotal(std::uint64_t total_bytes) override {
    std::lock_guard lock(mutex);
    totals.push_back(total_bytes);
  }
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> progress;
  std::vector<std::uint64_t> totals;
};

TEST(DownloadFlowWithCore, FetchesAPackageShowingSizeRatesAndTheEnd) {
  // Every address the core uses stays on loopback.
  ::setenv("KESTRA_LOCAL_IP", "127.0.0.1", 1);
  test::TempDir www, target;
  const TaskFiles task = MakeFiles({{"patch1.2.3.tq", 24 * 1024 * 1024 + 321}}, 77);
  // Throttled, so that the flow's once-a-second polls see the download run.
  LoggedNginx server(www.path(), "limit_rate 2m;");
  std::string why;
  ASSERT_TRUE(PublishTask(task, www.path(), 262144, {server.Url("/task")}, why)) << why;

  dlctl::DownloaderControl control;
  RecordingSink sink;
  int remaining = 1;
  std::vector<unsigned> posted;
  dlctl::DownloadSession session;
  session.run_mode = [] { return 0; };
  session.with_remaining_downloads = [&](const std::function<void(int&)>& fn) { fn(remaining); };
  session.set_expansion_result = [](bool) {};
  session.post_to_main_window = [&](unsigned message) {
    posted.push_back(message);
    return true;
  };
  std::vector<std::string> log;
  const std::string tag = "E2E-" + std::to_string(platform::process::CurrentPid());
  std::string program;
  dlctl::DownloadFlow flow(
      control, session, sink,
      [&](std::string& path) {
        bool ok = dlctl::ExtractDownloader(dlctl::kDownloaderResourceId, path, tag);
        program = path;
        return ok;
      },
      [&](bool, const std::string& line) { log.push_back(line); });
  EXPECT_EQ(flow.Run(server.Url("/task/task.torrent"), target.path() + "/"), 0);

  for (const auto& [name, content] : task.files) {
    EXPECT_TRUE(ReadFile(target / name) == content) << name;
  }
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(posted, std::vector<unsigned>{dlctl::kMsgDownloadPhaseDone});
  ASSERT_FALSE(sink.totals.empty());
  EXPECT_EQ(sink.totals.back(), task.Total());
  // Rate lines while it ran, and the end at 100 %.
  int rate_lines = 0;
  for (const auto& [percent, text] : sink.progress) {
    if (text.rfind("下: ", 0) == 0) ++rate_lines;
  }
  EXPECT_GT(rate_lines, 0);
  ASSERT_FALSE(sink.progress.empty());
  EXPECT_EQ(sink.progress.back().first, 100);
  if (!program.empty()) std::remove(program.c_str());
}

}  // namespace
}  // namespace kestra::e2e
