#include "downloader/services/p2p_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "downloader/framework/interface.h"
#include "downloader/framework/service_driver.h"
#include "downloader/services/config_service.h"
#include "downloader/services/shell_info.h"
#include "tests/downloader/services/fake_channel.h"
#include "tests/downloader/services/stub_services.h"
#include "tests/support/wait_until.h"
#include "shared/protocol/protocol.h"

namespace zelt {
namespace {

namespace proto = kestra::protocol;
using kestra::test::WaitUntil;
using Lines = std::vector<std::string>;

// One line of the core as the updater receives it: "[Interactive]key=value",
// or "[Interactive]word" for the single-word replies.
std::string Reply(const std::string& key, const std::string& value) {
  return std::string(1, proto::kTagOpen) + proto::kTagInteractive + proto::kTagClose + key +
         proto::kKeyValueSeparator + value;
}
std::string Reply(const std::string& word) {
  return std::string(1, proto::kTagOpen) + proto::kTagInteractive + proto::kTagClose + word;
}
// A command line: the words joined by blanks.
template <typename... Rest>
std::string Words(const std::string& first, const Rest&... rest) {
  std::string line = first;
  ((line += ' ', line += rest), ...);
  return line;
}
constexpr std::int64_t kNow = 1800000000;

// The control server with the configuration and stand-ins for the other
// services, driven by a real driver on its own thread.
class P2PServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOutputLevel(0);
    ShellInfo::Instance().SetChannel(&channel_);
  }
  void TearDown() override {
    StopDriver();
    ShellInfo::Instance().SetChannel(nullptr);
    SetOutputLevel(0);
  }

  // Registers the services and starts the driver. fs_done: the file system's
  // Run has finished (state 5), as it has once the download is under way.
  void Start(bool fs_done = true, bool with_monitor = false, std::vector<std::string> args = {}) {
    args.insert(args.begin(), "kestra-downloader");
    Parameters params;
    ASSERT_TRUE(ParseParameters(args, 1, params));
    config_ = new ConfigService(params);
    fs_ = new test::StubFileSystem();
    fs_->run_result = fs_done ? framework::kPhaseDone : framework::kPhaseNotYet;
    network_ = new test::StubNetwork();
    client_ = new test::StubP2PClient();
    stats_ = new test::StubStatRecorder();
    p2p_ = new P2PService();
    p2p_->SetChannel(&channel_);
    p2p_->set_clock([] { return kNow; });
    Add(kConfigServiceName, config_);
    Add(kFileSystemServiceName, fs_);
    Add(kNetworkServiceName, network_);
    Add(kP2PClientServiceName, client_);
    Add(kStatRecorderServiceName, stats_);
    if (with_monitor) {
      monitor_ = new test::StubMonitor();
      Add(kMonitorServiceName, monitor_);
    }
    Add(kP2PServiceName, p2p_);
    driver_.set_phase_interval_ms(1);
    thread_ = std::thread([this] { driver_.Run(); });
  }
  void Add(const char* name, framework::DefaultService* service) {
    ASSERT_TRUE(driver_.Register(name, service));
    ASSERT_TRUE(registry_.Register(name, service));
  }
  void StopDriver() {
    driver_.Stop();
    if (thread_.joinable()) thread_.join();
  }

  // Sends one command and returns what was written while it ran.
  Lines Command(const std::string& line) {
    std::uint64_t n = channel_.Push(line);
    EXPECT_TRUE(channel_.WaitHandled(n)) << line;
    return channel_.TakeLines();
  }
  std::string One(const std::string& line) {
    Lines lines = Command(line);
    EXPECT_EQ(lines.size(), 1u) << line;
    return lines.empty() ? std::string() : lines[0];
  }

  test::FakeChannel channel_;
  framework::InterfaceMgr registry_;
  framework::ServiceDriver driver_;
  std::thread thread_;
  ConfigService* config_ = nullptr;
  test::StubFileSystem* fs_ = nullptr;
  test::StubNetwork* network_ = nullptr;
  test::StubP2PClient* client_ = nullptr;
  test::StubStatRecorder* stats_ = nullptr;
  test::StubMonitor* monitor_ = nullptr;
  P2PService* p2p_ = nullptr;
};

TEST_F(P2PServiceTest, StatBeforeTheDownloadHasBegun) {
  Start();
  EXPECT_EQ(Command(proto::kCmdStat), (Lines{
                                 Reply(proto::kKeyUserId, "0"),
                                 Reply(proto::kKeyP2PState, "0"),
                                 Reply(proto::kKeyPercentage, "100.000000"),
                                 Reply(proto::kKeyPercentageDownloaded, "100.000000"),
                                 Reply(proto::kKeyCurUpdatePercentage, "100.000000"),
                                 Reply(proto::kKeyIncompleteByte, "0"),
                                 Reply(proto::kKeyUploadBandWidth, "0.000000"),
                                 Reply(proto::kKeyDownloadBandWidth, "0.000000"),
                                 Reply(proto::kKeyUploadUserNum, "0"),
                                 Reply(proto::kKeyDownloadUserNum, "0"),
                                 Reply(proto::kKeyConnectNum, "0"),
                             }));
}

TEST_F(P2PServiceTest, StatAndGetReadTheServices) {
  Start();
  fs_->counters = {1000, 500, 250, 100};  // T, R, K, S
  fs_->files = {"Vandor\\data\\a.pak", "b.pak"};
  client_->user_id = 77;
  client_->peers = 3;
  client_->http_bytes = 4000;
  client_->peer_bytes = 600;
  stats_->upload_rate = 1.5f;
  stats_->download_rate = 12.25f;
  stats_->start_time = kNow - 10;
  stats_->recent_rate = 2.5;
  stats_->recent_samples = 180;
  config_->SetState(kDownloading);
  channel_.TakeLines();

  EXPECT_EQ(Command(proto::kCmdStat), (Lines{
                                 Reply(proto::kKeyUserId, "77"),
                                 Reply(proto::kKeyP2PState, "14"),
                                 Reply(proto::kKeyPercentage, "25.000000"),
                                 Reply(proto::kKeyPercentageDownloaded, "50.000000"),
                                 Reply(proto::kKeyCurUpdatePercentage, "44.444444"),
                                 Reply(proto::kKeyIncompleteByte, "750"),
                                 Reply(proto::kKeyUploadBandWidth, "1.500000"),
                                 Reply(proto::kKeyDownloadBandWidth, "12.250000"),
                                 Reply(proto::kKeyUploadUserNum, "3"),
                                 Reply(proto::kKeyDownloadUserNum, "3"),
                                 Reply(proto::kKeyConnectNum, "3"),
                             }));
  struct Case {
    std::string command;
    Lines lines;
  };
  const Case cases[] = {
      {Words(proto::kCmdGet, proto::kSelUploadLimit), {Reply(proto::kKeyMaxUploadBandWidth, "128")}},
      {Words(proto::kCmdGet, proto::kSelDownloadLimit), {Reply(proto::kKeyMaxDownloadBandWidth, "256")}},
      {Words(proto::kCmdGet, proto::kSelMaxUploadConn), {Reply(proto::kKeyMaxUploadNum, "20")}},
      {Words(proto::kCmdGet, proto::kSelMaxDownloadConn), {Reply(proto::kKeyMaxDownloadNum, "256")}},
      {Words(proto::kCmdGet, proto::kSelCurrentUpload), {Reply(proto::kKeyUploadBandWidth, "1.500000")}},
      {Words(proto::kCmdGet, proto::kSelCurrentDownload), {Reply(proto::kKeyDownloadBandWidth, "12.250000")}},
      {Words(proto::kCmdGet, proto::kSelPercentages),
       {Reply(proto::kKeyPercentageDownloaded, "50.000000"), Reply(proto::kKeyPercentage, "25.000000"),
        Reply(proto::kKeyCurUpdatePercentage, "44.444444")}},
      {Words(proto::kCmdGet, proto::kSelTotalBytes), {Reply(proto::kKeyTotalByte, "1000")}},
      {Words(proto::kCmdGet, proto::kSelIncompleteBytes), {Reply(proto::kKeyIncompleteByte, "750")}},
      {Words(proto::kCmdGet, proto::kSelState), {Reply(proto::kKeyP2PState, "14")}},
      {Words(proto::kCmdGet, proto::kSelUploadUsers), {Reply(proto::kKeyUploadUserNum, "3")}},
      {Words(proto::kCmdGet, proto::kSelDownloadUsers), {Reply(proto::kKeyDownloadUserNum, "3")}},
      {Words(proto::kCmdGet, proto::kSelConnections), {Reply(proto::kKeyConnectNum, "3")}},
      {Words(proto::kCmdGet, proto::kSelUserId), {Reply(proto::kKeyUserId, "77")}},
      {Words(proto::kCmdGet, proto::kSelOutputLevel), {Reply(proto::kKeyP2PLogLevel, "0")}},
      {Words(proto::kCmdGet, proto::kSelFileName), {Reply(proto::kKeyFileName, "Vandor\\data\\a.pak")}},
      {Words(proto::kCmdGet, proto::kSelFileName, "1"), {Reply(proto::kKeyFileName, "b.pak")}},
      {Words(proto::kCmdGet, proto::kSelFileName, "2"), {Reply(proto::kKeyFileName, ":")}},
      {Words(proto::kCmdGet, proto::kSelFileName, "x"), {Reply(proto::kKeyFileName, "Vandor\\data\\a.pak")}},
      {Words(proto::kCmdGet, proto::kSelVersion), {Reply(proto::kKeyVersion, "27233")}},
      // (500 - 100) / 10 s; 2.5 kB/s * 1024 over 180 samples
      {Words(proto::kCmdGet, proto::kSelAverageSpeed), {Reply(proto::kKeyAverageSpeed, "40(A),2560(L180)")}},
      {Words(proto::kCmdGet, proto::kSelDownloadBytes), {Reply(proto::kKeyCurrentDownloadBytes, "4600")}},
      {Words(proto::kCmdGet, proto::kSelP2pDownloadBytes), {Reply(proto::kKeyCurrentP2pDownloadBytes, "600")}},
      {"get nothing", {}},
      {"get", {}},
      {"  stat  extra", {}},  // replaced below: stat ignores extra words
  };
  for (const Case& c : cases) {
    if (c.command.find(proto::kCmdStat) != std::string::npos) {
      EXPECT_EQ(Command(c.command).size(), 11u);
      continue;
    }
    EXPECT_EQ(Command(c.command), c.lines) << c.command;
  }
}

TEST_F(P2PServiceTest, GetStateDumpsTheConfiguration) {
  Start(true, false, {"-Dir", "/tmp/dl", "-LocalTcp", "7000", "-P2PUploadThread", "6",
                      "-P2PUploadListSize", "12", "-HttpThread", "4"});
  config_->set_main_server("127.0.0.1", 8000);
  config_->set_info_file_paths({"\\tmp\\dl\\seed", "\\tmp\\dl\\seed.past", "\\tmp\\dl\\info"});
  EXPECT_EQ(Command(Words(proto::kCmdGet, proto::kSelConfigDump)), (Lines{
                                      Reply(proto::kKeyTcpListenPort, "7000"),
                                      Reply(proto::kKeyUdpPort, "10041"),
                                      Reply(proto::kKeyMainServerIp, "127.0.0.1"),
                                      Reply(proto::kKeyMainServerPort, "8000"),
                                      Reply(proto::kKeyCurrentDir, "\\tmp\\dl\\"),
                                      Reply(proto::kKeySeedFilePath, "\\tmp\\dl\\seed"),
                                      Reply(proto::kKeySeedFilePathPast, "\\tmp\\dl\\seed.past"),
                                      Reply(proto::kKeyDownloadInfoDataFilePath, "\\tmp\\dl\\info"),
                                      Reply(proto::kKeyUploadThreadNum, "6"),
                                      Reply(proto::kKeyMaxWaitTask, "12"),
                                      Reply(proto::kKeyHttpDownloadThreadNum, "4"),
                                  }));
}

TEST_F(P2PServiceTest, SetClampsAndAppliesAtOnce) {
  Start();
  struct Case {
    std::string command;
    ConfigInt field;
    std::int32_t value;
  };
  const Case cases[] = {
      {Words(proto::kCmdSet, proto::kSelUploadLimit, "2"), ConfigInt::kUploadBandLimitSecond, 3 * 1024},
      {Words(proto::kCmdSet, proto::kSelUploadLimit, "2000000"), ConfigInt::kUploadBandLimitSecond, 1048576 * 1024},
      {Words(proto::kCmdSet, proto::kSelUploadLimit, "500"), ConfigInt::kUploadBandLimitSecond, 500 * 1024},
      {Words(proto::kCmdSet, proto::kSelUploadLimit), ConfigInt::kUploadBandLimitSecond, 131072 * 1024},
      {Words(proto::kCmdSet, proto::kSelUploadLimit, "-5"), ConfigInt::kUploadBandLimitSecond, 131072 * 1024},
      {Words(proto::kCmdSet, proto::kSelDownloadLimit, "5"), ConfigInt::kDownloadBandLimitSecond, 10 * 1024},
      {Words(proto::kCmdSet, proto::kSelDownloadLimit, "99999999999"), ConfigInt::kDownloadBandLimitSecond, 262144 * 1024},
      {Words(proto::kCmdSet, proto::kSelDownloadLimit, "700"), ConfigInt::kDownloadBandLimitSecond, 700 * 1024},
      {Words(proto::kCmdSet, proto::kSelMaxUploadConn, "1000"), ConfigInt::kMaxUploadConnNum, 256},  // 512 - 256
      {Words(proto::kCmdSet, proto::kSelMaxUploadConn, "-3"), ConfigInt::kMaxUploadConnNum, 0},
      {Words(proto::kCmdSet, proto::kSelMaxUploadConn), ConfigInt::kMaxUploadConnNum, 20},
      {Words(proto::kCmdSet, proto::kSelMaxDownloadConn, "1000"), ConfigInt::kMaxDownloadConnNum, 492},  // 512 - 20
      {Words(proto::kCmdSet, proto::kSelMaxDownloadConn, "100"), ConfigInt::kMaxDownloadConnNum, 100},
      {Words(proto::kCmdSet, proto::kSelHttpThreads, "8"), ConfigInt::kHttpDownloadThreadNum, 8},
      {Words(proto::kCmdSet, proto::kSelHttpThreads, "-1"), ConfigInt::kHttpDownloadThreadNum, 8},
      {Words(proto::kCmdSet, proto::kSelHttpThreads, "1000000"), ConfigInt::kHttpDownloadThreadNum, 8},  // absurd: ignored
      {Words(proto::kCmdSet, proto::kSelHttpThreads, "0"), ConfigInt::kHttpDownloadThreadNum, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Command(c.command), Lines{}) << c.command;
    EXPECT_EQ(config_->Get(c.field), c.value) << c.command;
  }
  EXPECT_EQ(client_->upload_limit, 131072u * 1024);  // the last "ubl"
  EXPECT_EQ(client_->max_download, 100);
  EXPECT_EQ(client_->http_threads, 0);
  EXPECT_EQ(One(Words(proto::kCmdGet, proto::kSelUploadLimit)), Reply(proto::kKeyMaxUploadBandWidth, "131072"));
  EXPECT_EQ(One(Words(proto::kCmdGet, proto::kSelDownloadLimit)), Reply(proto::kKeyMaxDownloadBandWidth, "700"));
}

TEST_F(P2PServiceTest, AnySetSwitchesThePeriodicReloadOff) {
  Start();
  EXPECT_TRUE(config_->periodic_reload());
  Command("set bogus 1");
  EXPECT_FALSE(config_->periodic_reload());
}

TEST_F(P2PServiceTest, OutputLevelThroughSet) {
  Start();
  Command(Words(proto::kCmdSet, proto::kSelOutputLevel, "7"));  // out of range: ignored
  EXPECT_EQ(OutputLevel(), 0);
  EXPECT_EQ(Info("hidden"), -1);
  Command(Words(proto::kCmdSet, proto::kSelOutputLevel, "5"));
  EXPECT_EQ(One(Words(proto::kCmdGet, proto::kSelOutputLevel)), Reply(proto::kKeyP2PLogLevel, "5"));
  EXPECT_EQ(Info("shown %d", 1), 1);
  EXPECT_EQ(channel_.TakeLines(), (Lines{"[Info]shown 1"}));
  Command(Words(proto::kCmdSet, proto::kSelOutputLevel, "-1"));  // ignored as well
  EXPECT_EQ(OutputLevel(), 5);
  Command(Words(proto::kCmdSet, proto::kSelOutputLevel));  // the current level stays
  EXPECT_EQ(OutputLevel(), 5);
}

TEST_F(P2PServiceTest, QuickLevelAndPriorityWhileTheFileSystemRuns) {
  Start(true);
  EXPECT_EQ(One(Words(proto::kCmdSetQuickLevel, "3")), Reply(proto::kReplySucceeded));
  EXPECT_EQ(fs_->quick_level, 3u);
  EXPECT_EQ(One(Words(proto::kCmdSetQuickLevel, "0")), Reply(proto::kReplyFailed));
  EXPECT_EQ(One(proto::kCmdSetQuickLevel), Reply(proto::kReplyFailed));
  EXPECT_EQ(One(Words(proto::kCmdSetPriority, "a.pak 100 200 3")), Reply(proto::kReplySucceeded));
  fs_->priority_result = false;
  EXPECT_EQ(One(Words(proto::kCmdSetPriority, "b.pak x")), Reply(proto::kReplyFailed));
  EXPECT_EQ(fs_->priority_calls, (Lines{"a.pak 100 200 3", "b.pak 0 0 0"}));
}

TEST_F(P2PServiceTest, QuickLevelAndPriorityBeforeTheFileSystemRuns) {
  Start(false);
  EXPECT_EQ(One(Words(proto::kCmdSetQuickLevel, "3")), Reply(proto::kReplyFailed));
  EXPECT_EQ(fs_->quick_level, 0u);
  EXPECT_EQ(One(Words(proto::kCmdSetPriority, "a.pak 1 2 3")), Reply(proto::kReplyFailed));
  EXPECT_TRUE(fs_->priority_calls.empty());
}

TEST_F(P2PServiceTest, UnknownWordsAndMonitorViews) {
  Start(true, true);
  EXPECT_EQ(Command(proto::kCmdShowP2P), Lines{});
  EXPECT_EQ(Command(proto::kCmdShowFileBlock), Lines{});
  EXPECT_EQ(Command(proto::kCmdShowFileBlock), Lines{});
  EXPECT_EQ(Command("Stat"), Lines{});  // words are case-sensitive
  EXPECT_EQ(Command(""), Lines{});
  EXPECT_EQ(Command(std::string(10000, 'x')), Lines{});
  EXPECT_EQ(Command("\x01\xff garbage 123"), Lines{});
  EXPECT_EQ(monitor_->p2p_views, 1);
  EXPECT_EQ(monitor_->block_views, 2);
}

TEST_F(P2PServiceTest, AFloodOfCommandsIsAnsweredInOrder) {
  Start();
  constexpr int kCommands = 3 * P2PService::kMaxCommandsPerCycle + 7;
  std::uint64_t last = 0;
  for (int i = 0; i < kCommands; ++i) last = channel_.Push(i % 2 == 0 ? Words(proto::kCmdGet, proto::kSelVersion) : Words(proto::kCmdGet, proto::kSelState));
  ASSERT_TRUE(channel_.WaitHandled(last));
  Lines lines = channel_.TakeLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kCommands));
  for (int i = 0; i < kCommands; ++i) {
    EXPECT_EQ(lines[i], i % 2 == 0 ? Reply(proto::kKeyVersion, "27233") : Reply(proto::kKeyP2PState, "0"));
  }
}

TEST_F(P2PServiceTest, WithoutMonitorViewCommandsDoNothing) {
  Start();
  EXPECT_EQ(Command(proto::kCmdShowP2P), Lines{});
  EXPECT_EQ(Command(proto::kCmdStat).size(), 11u);  // and the service goes on
}

TEST_F(P2PServiceTest, QuitStopsTheDriverAndReportsTheLastStates) {
  Start();
  std::uint64_t n = channel_.Push(proto::kCmdQuit);
  channel_.Push(proto::kCmdStat);  // never read
  thread_.join();         // the driver ends by itself
  EXPECT_EQ(channel_.queued(), 1u);
  (void)n;
  EXPECT_EQ(stats_->Journal(), (Lines{"end 3 " + std::to_string(kNow)}));
  EXPECT_EQ(channel_.TakeLines(), (Lines{Reply(proto::kKeyP2PState, "16"), Reply(proto::kKeyP2PState, "17")}));
  EXPECT_EQ(config_->StateHistory(), (std::vector<std::int32_t>{16, 17}));
  EXPECT_EQ(driver_.GetState(kP2PServiceName), framework::kStateReleased);
  EXPECT_FALSE(p2p_->running());
}

TEST_F(P2PServiceTest, RestartReportsAndStopsReadingWhileTheRestRuns) {
  Start();
  config_->SetState(kGetSeedMd5);
  config_->SetState(kDownloading);
  channel_.TakeLines();
  std::uint64_t n = channel_.Push(proto::kCmdRestart);
  // The service's Run is over once it has taken the command.
  ASSERT_TRUE(WaitUntil([&] { return driver_.GetState(kP2PServiceName) == framework::kStateRunFinished; }));
  (void)n;
  channel_.Push(proto::kCmdStat);
  // The other services keep running: the configuration is still in Run.
  EXPECT_EQ(driver_.GetState(kConfigServiceName), framework::kStateRunning);
  StopDriver();
  EXPECT_EQ(channel_.queued(), 1u);  // "stat" was never read
  EXPECT_EQ(stats_->Journal(), (Lines{
                                   "end 6 " + std::to_string(kNow),
                                   "section 文件块状态=a.dat\nFF\n",
                                   "section 状态切换过程=GET_SEED_MD5 DOWNLOADING ",
                                   "step 2",
                                   "step 3",
                                   "send 5000",
                               }));
}

TEST_F(P2PServiceTest, RestartWithReportsOffOrAMaskSendsWhatIsAsked) {
  Start(true, false, {"-HttpReport", "0"});
  channel_.Push(proto::kCmdRestart);
  ASSERT_TRUE(WaitUntil([&] { return driver_.GetState(kP2PServiceName) == framework::kStateRunFinished; }));
  StopDriver();
  EXPECT_EQ(stats_->Journal(), (Lines{"end 6 " + std::to_string(kNow)}));
}

TEST_F(P2PServiceTest, ReportMaskSelectsTheSections) {
  Start();
  config_->Set(ConfigInt::kReportMask, 2 | 8);
  channel_.Push(proto::kCmdRestart);
  ASSERT_TRUE(WaitUntil([&] { return driver_.GetState(kP2PServiceName) == framework::kStateRunFinished; }));
  StopDriver();
  EXPECT_EQ(stats_->Journal(), (Lines{"end 6 " + std::to_string(kNow), "section 状态切换过程=",
                                      "step 3", "send 5000"}));
}

TEST_F(P2PServiceTest, SuspendIsRefusedWhileRunningResumeIsAccepted) {
  Start();
  Command(proto::kCmdStat);  // the service has started
  EXPECT_TRUE(p2p_->running());
  EXPECT_EQ(p2p_->PostPowerEvent(kPowerQuerySuspend).get(), kBroadcastQueryDeny);
  EXPECT_EQ(p2p_->PostPowerEvent(kPowerResumeSuspend).get(), 0);
  EXPECT_EQ(p2p_->PostPowerEvent(kPowerResumeAutomatic).get(), 0);
  StopDriver();
  EXPECT_EQ(p2p_->PostPowerEvent(kPowerQuerySuspend).get(), 0);  // no longer running
}

TEST(P2PServiceStartTest, AMissingDependencyFailsStart) {
  test::FakeChannel channel;
  framework::InterfaceMgr registry;
  framework::ServiceDriver driver;
  driver.set_phase_interval_ms(1);
  Parameters params;
  ASSERT_TRUE(ParseParameters({"x"}, 1, params));
  auto* config = new ConfigService(params);
  auto* p2p = new P2PService();
  p2p->SetChannel(&channel);
  ASSERT_TRUE(driver.Register(kConfigServiceName, config));
  registry.Register(kConfigServiceName, config);
  ASSERT_TRUE(driver.Register(kP2PServiceName, p2p));
  registry.Register(kP2PServiceName, p2p);
  channel.Push(proto::kCmdQuit);
  std::thread t([&] { driver.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return driver.GetState(kConfigServiceName) == framework::kStateRunning; }));
  // P2PService failed its Start; the command stays unread and only a Stop of
  // the driver ends the Run phase.
  EXPECT_EQ(driver.GetState(kP2PServiceName), framework::kStateFailed);
  EXPECT_EQ(channel.queued(), 1u);
  EXPECT_EQ(driver.GetState(kConfigServiceName), framework::kStateRunning);
  driver.Stop();
  t.join();
  EXPECT_EQ(driver.GetState(kP2PServiceName), framework::kStateReleased);  // it completed Init
}

TEST(P2PServiceStartTest, AServiceItLooksUpButNeverWaitsForMustStillBeThere) {
  // Everything it waits for has started, but no file system is registered:
  // the lookup fails the phase instead of leaving a null to crash on later.
  test::FakeChannel channel;
  framework::InterfaceMgr registry;
  framework::ServiceDriver driver;
  driver.set_phase_interval_ms(1);
  Parameters params;
  ASSERT_TRUE(ParseParameters({"x"}, 1, params));
  auto* p2p = new P2PService();
  p2p->SetChannel(&channel);
  auto add = [&](const char* name, framework::DefaultService* service) {
    ASSERT_TRUE(driver.Register(name, service));
    ASSERT_TRUE(registry.Register(name, service));
  };
  add(kConfigServiceName, new ConfigService(params));
  add(kNetworkServiceName, new test::StubNetwork());
  add(kP2PClientServiceName, new test::StubP2PClient());
  add(kStatRecorderServiceName, new test::StubStatRecorder());
  add(kP2PServiceName, p2p);
  channel.Push(proto::kCmdStat);
  std::thread t([&] { driver.Run(); });
  EXPECT_TRUE(WaitUntil([&] { return driver.GetState(kP2PServiceName) == framework::kStateFailed; }));
  // The others go on into their Run phase; no command is ever read.
  EXPECT_TRUE(WaitUntil([&] { return driver.GetState(kStatRecorderServiceName) == framework::kStateRunning; }));
  EXPECT_EQ(channel.queued(), 1u);
  EXPECT_FALSE(p2p->running());
  driver.Stop();
  t.join();
}

}  // namespace
}  // namespace zelt
