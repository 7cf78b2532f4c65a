#include "updater/downloader_control/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace kestra::dlctl {
namespace {

const std::string kExe = "/tmp/kestra-1000/Korvel下载器-Vandor-1.0.exe";

DownloaderParams FlowParams() {
  DownloaderParams params;
  params.http_threads = 4;
  params.task_url = "http://127.0.0.1:8080/burrow/patch/1.2.3/task.torrent";
  params.target_directory = "/games/vandor\\download";
  return params;
}

TEST(CommandLine, DefaultsAreTheDocumentedOnes) {
  DownloaderParams params;
  EXPECT_EQ(params.task_url, "");
  EXPECT_EQ(params.target_directory, "");
  EXPECT_EQ(params.mode, "");
  EXPECT_EQ(params.download_limit, 1000000);
  EXPECT_EQ(params.upload_limit, 1000000);
  EXPECT_EQ(params.http_threads, 6);
  EXPECT_EQ(params.p2p_upload_threads, 6);
  EXPECT_EQ(params.p2p_upload_list_size, 12);
  EXPECT_TRUE(params.delete_download_info);
}

TEST(CommandLine, FlowValuesByteForByte) {
  EXPECT_EQ(BuildDownloaderCommandLine(kExe, FlowParams()),
            kExe +
                " -Dir \"/games/vandor\\download\""
                " -HttpUrl http://127.0.0.1:8080/burrow/patch/1.2.3"
                " -Torrent task.torrent"
                " -Mode  -HttpThread 4 -P2PUploadThread 6 -P2PUploadListSize 12"
                " -DownloadLimit 1000000 -UploadLimit 1000000 -DeleteDownloadInfo");
}

// Sets KESTRA_LOCAL_IP for one scope and puts the old value back.
class LocalIpVariable {
 public:
  explicit LocalIpVariable(const char* value) {
    if (const char* old = std::getenv(kLocalIpVariable)) old_ = old;
    if (value) setenv(kLocalIpVariable, value, 1);
    else unsetenv(kLocalIpVariable);
  }
  ~LocalIpVariable() {
    if (old_) setenv(kLocalIpVariable, old_->c_str(), 1);
    else unsetenv(kLocalIpVariable);
  }

 private:
  std::optional<std::string> old_;
};

TEST(CommandLine, LocalIpFromTheEnvironmentComesLast) {
  const std::string base = BuildDownloaderArguments(FlowParams());
  struct Case {
    const char* value;  // nullptr: unset
    std::string tail;
  };
  const Case cases[] = {
      {nullptr, ""},
      {"127.0.0.1", " -LocalIp 127.0.0.1"},
      {"", ""},
      {"127.0.0.1 -Dir /", ""},  // nothing may add words to the line
      {"localhost", ""},
      {"300.0.0.1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    LocalIpVariable variable(c.value);
    EXPECT_EQ(BuildDownloaderCommandLine(kExe, FlowParams()), kExe + " " + base + c.tail);
    auto words = CommandLineArguments(kExe, BuildDownloaderCommandLine(kExe, FlowParams()));
    bool has = std::find(words.begin(), words.end(), "-LocalIp") != words.end();
    EXPECT_EQ(has, !c.tail.empty());
  }
  // An address in the parameters wins over the environment.
  LocalIpVariable variable("127.0.0.2");
  DownloaderParams params = FlowParams();
  params.local_ip = "127.0.0.3";
  EXPECT_EQ(BuildDownloaderCommandLine(kExe, params), kExe + " " + base + " -LocalIp 127.0.0.3");
}

TEST(CommandLine, TrailingBackslashesOfTheDirectoryAreRemoved) {
  DownloaderParams params = FlowParams();
  params.target_directory = "D:\\Vandor\\download\\\\\\";
  std::string line = BuildDownloaderArguments(params);
  EXPECT_EQ(line.substr(0, 26), "-Dir \"D:\\Vandor\\download\" ");
  params.target_directory = "\\\\";
  EXPECT_EQ(BuildDownloaderArguments(params).substr(0, 8), "-Dir \"\" ");
}

TEST(CommandLine, OtherValuesAndSwitches) {
  DownloaderParams params = FlowParams();
  params.mode = "repair";
  params.download_limit = 300;
  params.upload_limit = -1;
  params.http_threads = 8;
  params.p2p_upload_threads = 2;
  params.p2p_upload_list_size = 0;
  params.delete_download_info = false;
  EXPECT_EQ(BuildDownloaderArguments(params),
            "-Dir \"/games/vandor\\download\" -HttpUrl http://127.0.0.1:8080/burrow/patch/1.2.3"
            " -Torrent task.torrent -Mode repair -HttpThread 8 -P2PUploadThread 2"
            " -P2PUploadListSize 0 -DownloadLimit 300 -UploadLimit -1");
}

TEST(CommandLine, TaskUrlWithoutSlashGivesOnlyThePath) {
  DownloaderParams params = FlowParams();
  params.task_url = "task.torrent";
  EXPECT_EQ(BuildDownloaderCommandLine(kExe, params), kExe + " ");
  EXPECT_EQ(AppendInteractivePort(BuildDownloaderCommandLine(kExe, params), 23456),
            kExe + "  -InteractivePort 23456");
}

TEST(CommandLine, UrlEndingInSlashGivesAnEmptyTorrent) {
  DownloaderParams params = FlowParams();
  params.task_url = "http://127.0.0.1/dir/";
  EXPECT_NE(BuildDownloaderArguments(params).find("-HttpUrl http://127.0.0.1/dir -Torrent  -Mode"),
            std::string::npos);
}

TEST(CommandLine, PortSwitchIsAlwaysLast) {
  std::string line = AppendInteractivePort(BuildDownloaderCommandLine(kExe, FlowParams()), 10001);
  const std::string tail = " -DeleteDownloadInfo -InteractivePort 10001";
  ASSERT_GE(line.size(), tail.size());
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
}

TEST(CommandLine, ArgumentsKeepTheExecutableWholeAndUnquoteTheDirectory) {
  DownloaderParams params = FlowParams();
  params.target_directory = "/home/a player/Vandor\\download\\";
  const std::string exe = "/tmp/with blank/Korvel下载器-Vandor-1.0.exe";
  std::string line = AppendInteractivePort(BuildDownloaderCommandLine(exe, params), 12345);
  std::vector<std::string> expected = {exe,
                                       "-Dir", "/home/a player/Vandor\\download",
                                       "-HttpUrl", "http://127.0.0.1:8080/burrow/patch/1.2.3",
                                       "-Torrent", "task.torrent",
                                       "-Mode",
                                       "-HttpThread", "4",
                                       "-P2PUploadThread", "6",
                                       "-P2PUploadListSize", "12",
                                       "-DownloadLimit", "1000000",
                                       "-UploadLimit", "1000000",
                                       "-DeleteDownloadInfo",
                                       "-InteractivePort", "12345"};
  EXPECT_EQ(CommandLineArguments(exe, line), expected);
}

TEST(CommandLine, EmptyQuotedValueStaysAnArgument) {
  EXPECT_EQ(CommandLineArguments("/x", "/x -Dir \"\" -Mode"),
            (std::vector<std::string>{"/x", "-Dir", "", "-Mode"}));
}

}  // namespace
}  // namespace kestra::dlctl
