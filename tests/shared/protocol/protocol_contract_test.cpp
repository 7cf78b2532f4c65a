// The contract between the updater and the downloader core, checked end to
// end through both programs' own code: the updater's command line read by the
// core's parameter parser, the core's real control server answering the
// updater's poll, the core's unasked lines classified by the updater.
#include "shared/protocol/protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "downloader/framework/interface.h"
#include "downloader/framework/service_driver.h"
#include "downloader/services/config_service.h"
#include "downloader/services/p2p_service.h"
#include "downloader/services/parameters.h"
#include "downloader/services/shell_info.h"
#include "tests/downloader/services/fake_channel.h"
#include "tests/downloader/services/stub_services.h"
#include "tests/support/wait_until.h"
#include "updater/downloader_control/command_line.h"
#include "updater/downloader_control/reply_parser.h"

namespace {

namespace proto = kestra::protocol;
namespace dlctl = kestra::dlctl;

// The texts on the wire, written out once more by hand: a constant that
// changes by mistake breaks both programs together, and only this table
// notices.
TEST(ProtocolTexts, WireSpellingsAreFixed) {
  const std::pair<std::string, std::string> texts[] = {
      {proto::kParamDir, "Dir"},
      {proto::kParamHttpUrl, "HttpUrl"},
      {proto::kParamTorrent, "Torrent"},
      {proto::kParamMode, "Mode"},
      {proto::kParamHttpThread, "HttpThread"},
      {proto::kParamP2PUploadThread, "P2PUploadThread"},
      {proto::kParamP2PUploadListSize, "P2PUploadListSize"},
      {proto::kParamDownloadLimit, "DownloadLimit"},
      {proto::kParamUploadLimit, "UploadLimit"},
      {proto::kParamDeleteDownloadInfo, "DeleteDownloadInfo"},
      {proto::kParamInteractivePort, "InteractivePort"},
      {proto::kParamLocalIp, "LocalIp"},
      {proto::kCmdQuit, "quit"},
      {proto::kCmdStat, "stat"},
      {proto::kCmdGet, "get"},
      {proto::kCmdSet, "set"},
      {proto::kSelTotalBytes, "tb"},
      {proto::kSelFileName, "qf"},
      {proto::kTagInteractive, "Interactive"},
      {proto::kKeyP2PState, "P2PState"},
      {proto::kKeyUdpPort, "UdpProt"},
      {proto::kKeyVerifyPercentage, "VerifyPercentage"},
      {proto::kKeyError, "Error"},
      {proto::kKeyErrorCode, "ErrorCode"},
      {proto::kKeyErrorFile, "ErrorFile"},
      {proto::kErrWriteFile, "WriteFile"},
      {proto::kErrOpenFile, "OpenFile"},
      {proto::kErrSetFileSize, "SetFileSize"},
      {proto::kErrReadSeed, "ReadSeed"},
      {proto::kErrDownloadTorrent, "DownloadTorrent"},
      {proto::kErrDownloadSeed, "DownloadSeed"},
      {proto::kNoFileName, ":"},
  };
  for (const auto& [constant, wire] : texts) EXPECT_EQ(constant, wire);
  const char* names[] = {"BEGIN", "PARSE_PARA", "PARSE_PARA_ERROR", "INITING", "INIT_ERROR",
                         "GET_SEED_MD5", "GET_SEED_MD5_FAIL", "CHECK_SEED_FILE",
                         "DOWNLOAD_SEED_FILE", "DOWNLOAD_SEED_FILE_FAIL", "ANALYSIS_SEED",
                         "CREATE_FILE", "ALL_FILE_CHECK_MD5", "ANALYSIS_SEED_ERROR", "DOWNLOADING",
                         "DOWNLOAD_COMPLETED", "TO_QUIT", "QUIT"};
  for (std::int32_t state = 0; state < proto::kDownloadStateCount; ++state) {
    EXPECT_STREQ(proto::DownloadStateName(state), names[state]) << state;
  }
  EXPECT_STREQ(proto::DownloadStateName(-1), "");
  EXPECT_STREQ(proto::DownloadStateName(proto::kDownloadStateCount), "");
  // Every key is spelt once: no two constants share a text.
  std::set<std::string> stat(proto::kStatKeys.begin(), proto::kStatKeys.end());
  EXPECT_EQ(stat.size(), proto::kStatKeys.size());
}

// The updater's command line, split as the system splits it and read by the
// core's own parser.
struct CommandLineCase {
  const char* name;
  std::string task_url;
  std::string target;
  std::string mode;
  bool delete_info;
  // What the core makes of it.
  std::string current_dir;
  std::string http_url;
  std::string torrent;
  std::int32_t mode_number;
};

class CommandLineContract : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineContract, CoreReadsWhatTheUpdaterWrites) {
  const CommandLineCase& c = GetParam();
  dlctl::DownloaderParams params;
  params.task_url = c.task_url;
  params.target_directory = c.target;
  params.mode = c.mode;
  params.http_threads = 4;
  params.delete_download_info = c.delete_info;
  const std::string exe = "/tmp/kestra core/Korvel下载器-Vandor-1.0.exe";
  const std::string line =
      dlctl::AppendInteractivePort(dlctl::BuildDownloaderCommandLine(exe, params), 23456);

  zelt::Parameters core;
  ASSERT_TRUE(zelt::ParseParameters(dlctl::CommandLineArguments(exe, line), 4242, core));
  EXPECT_EQ(core.pgmname, exe);
  EXPECT_EQ(core.current_dir, c.current_dir);
  EXPECT_TRUE(core.has_http_url);
  EXPECT_EQ(core.http_urls, std::vector<std::string>{c.http_url});
  EXPECT_EQ(core.torrent_path, c.torrent);
  EXPECT_EQ(core.mode, c.mode_number);
  EXPECT_EQ(core.http_thread_num, 4);
  EXPECT_EQ(core.upload_thread_num, params.p2p_upload_threads);
  EXPECT_EQ(core.max_wait_task, params.p2p_upload_list_size);
  // kB/s, clamped to the core's ceiling, in bytes/s.
  EXPECT_EQ(core.download_limit, 1000000u * 1024);
  EXPECT_EQ(core.upload_limit, 1000000u * 1024);
  EXPECT_EQ(core.delete_download_info, c.delete_info);
  EXPECT_EQ(core.interactive_port, std::optional<std::uint16_t>(23456));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineContract,
    ::testing::Values(
        CommandLineCase{"UpdateFlow", "http://127.0.0.1:8080/burrow/patch/task.torrent",
                        "C:\\Vandor\\download\\\\", "", true, "C:\\Vandor\\download\\",
                        "http://127.0.0.1:8080/burrow/patch", "task.torrent", zelt::kModeUpdate},
        CommandLineCase{"RepairWithBlanksInTheDirectory", "http://127.0.0.1:1/t.v2.torrent",
                        "/tmp/a dir/dl", proto::kModeRepairName, false, "\\tmp\\a dir\\dl\\",
                        "http://127.0.0.1:1", "t.v2.torrent", zelt::kModeRepair},
        CommandLineCase{"Download", "http://127.0.0.1:1/x/y/z.torrent", "D:/games//vd",
                        proto::kModeDownloadName, true, "D:\\games\\vd\\", "http://127.0.0.1:1/x/y",
                        "z.torrent", zelt::kModeDownload}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return std::string(info.param.name); });

// The core's real control server with stand-ins for the services it reads.
class ServerContract : public ::testing::Test {
 protected:
  void SetUp() override {
    zelt::SetOutputLevel(0);
    zelt::ShellInfo::Instance().SetChannel(&channel_);
    zelt::Parameters params;
    ASSERT_TRUE(zelt::ParseParameters({"core"}, 1, params));
    config_ = new zelt::ConfigService(params);
    fs_ = new zelt::test::StubFileSystem();
    fs_->run_result = zelt::framework::kPhaseDone;
    client_ = new zelt::test::StubP2PClient();
    stats_ = new zelt::test::StubStatRecorder();
    auto* p2p = new zelt::P2PService();
    p2p->SetChannel(&channel_);
    Add(zelt::kConfigServiceName, config_);
    Add(zelt::kFileSystemServiceName, fs_);
    Add(zelt::kNetworkServiceName, new zelt::test::StubNetwork());
    Add(zelt::kP2PClientServiceName, client_);
    Add(zelt::kStatRecorderServiceName, stats_);
    Add(zelt::kP2PServiceName, p2p);
    driver_.set_phase_interval_ms(1);
    thread_ = std::thread([this] { driver_.Run(); });
    // Answered once the control server runs.
    Send(proto::kCmdStat);
    channel_.TakeLines();
  }
  void TearDown() override {
    driver_.Stop();
    if (thread_.joinable()) thread_.join();
    zelt::ShellInfo::Instance().SetChannel(nullptr);
  }
  void Add(const char* name, zelt::framework::DefaultService* service) {
    ASSERT_TRUE(driver_.Register(name, service));
    ASSERT_TRUE(registry_.Register(name, service));
  }
  // One command line as the updater builds it, executed by the core.
  void Send(const std::string& command) {
    ASSERT_TRUE(channel_.WaitHandled(channel_.Push(command))) << command;
  }
  // Everything the core wrote, read by the updater.
  void Interpret(dlctl::DownloaderStatus& status, bool& ask_file_name,
                 std::uint64_t free_bytes = 1ull << 40) {
    for (const std::string& line : channel_.TakeLines()) dlctl::ParseReplyLine(line, replies_);
    dlctl::InterpretReplies(replies_, status, ask_file_name, "/tmp",
                            [free_bytes](const std::string&) { return free_bytes; });
  }

  zelt::test::FakeChannel channel_;
  zelt::framework::InterfaceMgr registry_;
  zelt::framework::ServiceDriver driver_;
  std::thread thread_;
  zelt::ConfigService* config_ = nullptr;
  zelt::test::StubFileSystem* fs_ = nullptr;
  zelt::test::StubP2PClient* client_ = nullptr;
  zelt::test::StubStatRecorder* stats_ = nullptr;
  dlctl::ReplyMap replies_;
};

TEST_F(ServerContract, ThePollOfTheUpdaterFillsItsStatus) {
  fs_->counters = {1000, 500, 250, 100};  // total, received, complete, complete at start
  fs_->files = {"Vandor\\data\\a.pak"};
  stats_->upload_rate = 1.5f;
  stats_->download_rate = 12.25f;
  config_->SetState(proto::kDownloading);  // unasked "P2PState"
  // The commands of one poll, in the updater's order.
  Send(proto::kCmdStat);
  Send(std::string(proto::kCmdGet) + " " + proto::kSelTotalBytes);
  Send(std::string(proto::kCmdGet) + " " + proto::kSelFileName + " 0");

  dlctl::DownloaderStatus status;
  bool ask_file_name = true;
  Interpret(status, ask_file_name);
  EXPECT_EQ(status.state, proto::kDownloading);
  EXPECT_FLOAT_EQ(status.percentage, 25.0f);
  EXPECT_FLOAT_EQ(status.percentage_downloaded, 50.0f);
  EXPECT_EQ(status.incomplete_bytes, 750u);
  EXPECT_EQ(status.total_bytes, 1000u);
  EXPECT_FLOAT_EQ(status.upload_rate, 1.5f);
  EXPECT_FLOAT_EQ(status.download_rate, 12.25f);
  EXPECT_EQ(status.file_name, "Vandor\\data\\a.pak");
  EXPECT_FALSE(ask_file_name);
  EXPECT_EQ(status.error_class, dlctl::kNoError);
}

TEST_F(ServerContract, NoFileYetKeepsTheUpdaterAsking) {
  Send(std::string(proto::kCmdGet) + " " + proto::kSelFileName + " 0");
  dlctl::DownloaderStatus status;
  bool ask_file_name = true;
  Interpret(status, ask_file_name);
  EXPECT_TRUE(ask_file_name);
  EXPECT_EQ(status.file_name, "");
}

TEST_F(ServerContract, EveryStateTheCoreSetsReachesTheUpdater) {
  for (std::int32_t state = 0; state < proto::kDownloadStateCount; ++state) {
    config_->SetState(state);
    dlctl::DownloaderStatus status;
    bool ask = true;
    Interpret(status, ask);
    EXPECT_EQ(status.state, state);
  }
}

TEST_F(ServerContract, ErrorLinesOfTheCoreGiveTheUpdatersClasses) {
  struct Case {
    const char* token;
    std::uint64_t free_bytes;
    std::int32_t error_class;
  };
  const Case cases[] = {
      {proto::kErrOpenFile, 1ull << 40, dlctl::kOpenFileError},
      {proto::kErrSetFileSize, 1ull << 40, dlctl::kSetFileSizeError},
      {proto::kErrReadSeed, 1ull << 40, dlctl::kReadSeedError},
      {proto::kErrDownloadTorrent, 1ull << 40, dlctl::kDownloadTorrentError},
      {proto::kErrDownloadSeed, 1ull << 40, dlctl::kDownloadSeedError},
      {proto::kErrWriteFile, 1ull << 40, dlctl::kWriteFileError},  // room enough: file in use
      {proto::kErrWriteFile, 10, dlctl::kDiskFull},                // less room than missing
  };
  fs_->counters = {1000, 0, 0, 0};
  Send(std::string(proto::kCmdGet) + " " + proto::kSelIncompleteBytes);
  for (const Case& c : cases) {
    // The unasked lines as the core's file system writes them.
    zelt::InteractiveValue(proto::kKeyErrorCode, "%ld", 32L);
    zelt::InteractiveValue(proto::kKeyErrorFile, "%s", "Vandor\\data\\a.pak");
    zelt::InteractiveValue(proto::kKeyError, "%s", c.token);
    dlctl::DownloaderStatus status;
    bool ask = true;
    Interpret(status, ask, c.free_bytes);
    EXPECT_EQ(status.error_class, c.error_class) << c.token;
    EXPECT_EQ(status.error_code, 32) << c.token;
    EXPECT_EQ(status.error_file, "Vandor\\data\\a.pak") << c.token;
  }
}

}  // namespace
