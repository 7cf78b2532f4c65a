#include "downloader/services/config_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "downloader/framework/interface.h"
#include "downloader/services/shell_info.h"
#include "tests/downloader/services/fake_channel.h"

namespace zelt {
namespace {

Parameters Params(std::vector<std::string> args = {}) {
  args.insert(args.begin(), "kestra-downloader");
  Parameters p;
  EXPECT_TRUE(ParseParameters(args, 1, p));
  return p;
}

TEST(ConfigServiceTest, DefaultsAndParameters) {
  ConfigService c(Params({"-HttpUrl", "a", "b", "-UploadLimit", "100", "-MaxDownloadNum", "64",
                          "-InfoFolderHidden", "-NotUsingUPnP", "-HttpReport", "0"}));
  EXPECT_EQ(c.Get(ConfigInt::kMaxUploadConnNum), 20);
  EXPECT_EQ(c.Get(ConfigInt::kMaxDownloadConnNum), 64);
  EXPECT_EQ(c.Get(ConfigInt::kMaxNetworkConnNum), 512);
  EXPECT_EQ(c.Get(ConfigInt::kEruptConnectNum), 5);
  EXPECT_EQ(c.Get(ConfigInt::kMaxWaitTime), 1);
  EXPECT_EQ(c.Get(ConfigInt::kMaxTryTime), 10);
  EXPECT_EQ(c.Get(ConfigInt::kGetPeerListIntervalSecond), 3);
  EXPECT_EQ(c.Get(ConfigInt::kStateReportIntervalPercent), 5);
  EXPECT_EQ(c.Get(ConfigInt::kCleanupPeerIntervalSecond), 1);
  EXPECT_EQ(c.Get(ConfigInt::kUploadThreadNum), 10);
  EXPECT_EQ(c.Get(ConfigInt::kMaxWaitTask), 10);
  EXPECT_EQ(c.Get(ConfigInt::kHttpDownloadThreadNum), 4);
  EXPECT_EQ(c.Get(ConfigInt::kUploadBandLimitSecond), 102400);
  EXPECT_EQ(c.Get(ConfigInt::kDownloadBandLimitSecond), 262144);
  EXPECT_EQ(c.Get(ConfigInt::kUpdateConfigIntervalSecond), 60);
  EXPECT_EQ(c.Get(ConfigInt::kReportMask), -1);
  EXPECT_TRUE(c.Flag(ConfigInt::kIsUpdaterInfoFolderHidden));
  EXPECT_FALSE(c.Flag(ConfigInt::kDeleteDownloadInfo));
  EXPECT_FALSE(c.Flag(ConfigInt::kUsingUPnP));
  EXPECT_FALSE(c.Flag(ConfigInt::kReportEnable));
  EXPECT_EQ(c.version(), 27233);
  EXPECT_EQ(c.mode(), 1);
  EXPECT_EQ(c.State(), 0);
  EXPECT_EQ(c.udp_port(), 10041);
  EXPECT_EQ(c.http_list(), (std::vector<std::string>{"a", "b"}));  // 18467 % 2 = 1: no swap
  EXPECT_TRUE(c.periodic_reload());
  EXPECT_EQ(kPendingWriteLimit, 134217728u);
}

TEST(ConfigServiceTest, ServerConfigurationLines) {
  ConfigService c(Params());
  int changed = c.ApplyServerConfig(
      "  MaxUploadConnNum  =  30 \r\n"
      "MaxDownloadConnNum=\n"          // empty value: skipped
      "no equals sign here\n"
      "UnknownKey=5\n"
      "MaxNetworkConnNum=600abc\n"     // read like %d
      "EruptConnectNum=abc\n"          // unreadable: unchanged
      "HttpDownloadThreadNum=-3\n"     // negative counts are refused
      "UpdateConfigIntervalSecond=0\n" // a reload every cycle is refused
      "ReportMask=-1\n"
      "UploadBandLimitSecond=2048\n"
      "UsingUPnP=0\n"
      "DeleteDownloadInfo=7\n"
      "maxwaittask=99\n"               // keys are exact
      "IPDNSPickerURL= http://127.0.0.1/pick \n"
      "HttpList=http://127.0.0.1:1/ http://127.0.0.1:2/ \n"
      "MaxTryTime=4");                 // last line without a line feed
  EXPECT_EQ(c.Get(ConfigInt::kMaxUploadConnNum), 30);
  EXPECT_EQ(c.Get(ConfigInt::kMaxDownloadConnNum), 256);
  EXPECT_EQ(c.Get(ConfigInt::kMaxNetworkConnNum), 600);
  EXPECT_EQ(c.Get(ConfigInt::kEruptConnectNum), 5);
  EXPECT_EQ(c.Get(ConfigInt::kHttpDownloadThreadNum), 4);
  EXPECT_EQ(c.Get(ConfigInt::kUpdateConfigIntervalSecond), 60);
  EXPECT_EQ(c.Get(ConfigInt::kReportMask), -1);
  EXPECT_EQ(c.Get(ConfigInt::kUploadBandLimitSecond), 2048);
  EXPECT_FALSE(c.Flag(ConfigInt::kUsingUPnP));
  EXPECT_EQ(c.Get(ConfigInt::kDeleteDownloadInfo), 1);
  EXPECT_EQ(c.Get(ConfigInt::kMaxWaitTask), 10);
  EXPECT_EQ(c.ip_dns_picker_url(), "http://127.0.0.1/pick");
  EXPECT_EQ(c.http_list(), (std::vector<std::string>{"http://127.0.0.1:1/", "http://127.0.0.1:2/"}));
  EXPECT_EQ(c.Get(ConfigInt::kMaxTryTime), 4);
  EXPECT_EQ(changed, 9);
}

TEST(ConfigServiceTest, CdnListReplacesOnlyWithEntries) {
  ConfigService c(Params());
  EXPECT_FALSE(c.TakeCdnListChanged());
  c.ApplyServerConfig("CDNList=\"http://127.0.0.1:8/a/<5>\" http://127.0.0.1:9/b/ http://127.0.0.1:7/<x>\n");
  EXPECT_EQ(c.cdn_list(), (std::vector<CdnEntry>{{"http://127.0.0.1:8/a/", 5},
                                                 {"http://127.0.0.1:9/b/", 0},
                                                 {"http://127.0.0.1:7/", 0}}));
  EXPECT_TRUE(c.TakeCdnListChanged());
  EXPECT_FALSE(c.TakeCdnListChanged());
  c.ApplyServerConfig("CDNList=\"\" <3>\n");  // no URL results
  EXPECT_EQ(c.cdn_list().size(), 3u);
  EXPECT_FALSE(c.TakeCdnListChanged());
  EXPECT_EQ(ParseCdnList("http://h/<7>"), (std::vector<CdnEntry>{{"http://h/", 7}}));
  // The factor is read up to the last character; trailing text is ignored.
  EXPECT_EQ(ParseCdnList("http://h/<12>tail"), (std::vector<CdnEntry>{{"http://h/", 12}}));
  // Entries are separated by blanks, even inside the brackets.
  EXPECT_EQ(ParseCdnList("http://h/< 7>"), (std::vector<CdnEntry>{{"http://h/", 0}, {"7>", 0}}));
  EXPECT_EQ(ParseCdnList("http://h/<-2>"), (std::vector<CdnEntry>{{"http://h/", -2}}));
  // Line breaks separate entries too: no address carries one into a request.
  EXPECT_EQ(ParseCdnList("http://a/\rhttp://b/<2>\r\n\"http://c/\"\n"),
            (std::vector<CdnEntry>{{"http://a/", 0}, {"http://b/", 2}, {"http://c/", 0}}));
  c.ApplyServerConfig("HttpList=http://127.0.0.1:1/\rGET http://127.0.0.1:2/\n");
  EXPECT_EQ(c.http_list(),
            (std::vector<std::string>{"http://127.0.0.1:1/", "GET", "http://127.0.0.1:2/"}));
}

TEST(ConfigServiceTest, OversizedConfigurationChangesNothing) {
  ConfigService c(Params());
  std::string text = "MaxUploadConnNum=1\n" + std::string(kMaxServerConfigBytes, '#');
  EXPECT_EQ(c.ApplyServerConfig(text), 0);
  EXPECT_EQ(c.Get(ConfigInt::kMaxUploadConnNum), 20);
}

TEST(ConfigServiceTest, SetStateKeepsHistoryAndReportsOnTheChannel) {
  test::FakeChannel channel;
  ShellInfo::Instance().SetChannel(&channel);
  SetOutputLevel(0);
  ConfigService c(Params());
  c.SetState(kGetSeedMd5);
  c.SetState(kDownloading);
  ShellInfo::Instance().SetChannel(nullptr);
  EXPECT_EQ(c.State(), 14);
  EXPECT_EQ(c.StateHistory(), (std::vector<std::int32_t>{5, 14}));
  EXPECT_EQ(channel.TakeLines(),
            (std::vector<std::string>{"[Interactive]P2PState=5", "[Interactive]P2PState=14"}));
  EXPECT_STREQ(DownloadStateName(0), "BEGIN");
  EXPECT_STREQ(DownloadStateName(17), "QUIT");
  EXPECT_STREQ(DownloadStateName(18), "");
}

// A network service that records fetches and answers when told.
class FakeNetwork : public INetworkService {
 public:
  int Init() override { return 0; }
  int Start() override { return 0; }
  int Run() override { return 2; }
  int Stop() override { return 0; }
  int Release() override { return 0; }
  bool StartTextFetch(const std::vector<std::string>& servers, const std::string& address) override {
    fetches.push_back(address);
    last_servers = servers;
    return true;
  }
  bool TakeTextFetch(bool& ok, std::string& body) override {
    if (!answer_ready) return false;
    answer_ready = false;
    ok = answer_ok;
    body = answer_body;
    return true;
  }
  std::vector<std::string> fetches;
  std::vector<std::string> last_servers;
  bool answer_ready = false, answer_ok = false;
  std::string answer_body;
};

class ReloadTest : public ::testing::Test {
 protected:
  void Make(std::vector<std::string> args = {}) {
    config_ = std::make_unique<ConfigService>(Params(std::move(args)));
    config_->set_tick_source([this] { return tick_; });
    registry_.Register(kConfigServiceName, config_.get());
    registry_.Register(kNetworkServiceName, &network_);
    config_->set_server_config_address("burrow/config.txt");
    ASSERT_EQ(config_->Start(), framework::kPhaseDone);  // binds the network service
  }
  void RunAt(std::uint32_t tick) {
    tick_ = tick;
    EXPECT_EQ(config_->Run(), framework::kPhaseNotYet);
  }
  void Answer(bool ok, const std::string& body) {
    network_.answer_ready = true;
    network_.answer_ok = ok;
    network_.answer_body = body;
  }

  framework::InterfaceMgr registry_;
  FakeNetwork network_;
  std::unique_ptr<ConfigService> config_;
  std::uint32_t tick_ = 0;
};

TEST_F(ReloadTest, ReloadsEveryIntervalUntilASetCommand) {
  Make({"-HttpUrl", "http://127.0.0.1:5/"});
  RunAt(1000);  // the first call only takes the time
  RunAt(60999);
  EXPECT_TRUE(network_.fetches.empty());
  RunAt(61000);
  ASSERT_EQ(network_.fetches, (std::vector<std::string>{"burrow/config.txt"}));
  EXPECT_EQ(network_.last_servers, (std::vector<std::string>{"http://127.0.0.1:5/"}));
  EXPECT_TRUE(config_->request_pending());
  RunAt(130000);  // still under way: no second request
  EXPECT_EQ(network_.fetches.size(), 1u);
  Answer(true, "MaxUploadConnNum=33\nUpdateConfigIntervalSecond=10\n");
  RunAt(130001);
  EXPECT_EQ(config_->Get(ConfigInt::kMaxUploadConnNum), 33);
  EXPECT_FALSE(config_->request_pending());
  RunAt(140000);  // 10 s after the last load time (130000)
  EXPECT_EQ(network_.fetches.size(), 2u);
  Answer(false, "MaxUploadConnNum=44\n");  // a failed fetch changes nothing
  RunAt(140001);
  EXPECT_EQ(config_->Get(ConfigInt::kMaxUploadConnNum), 33);

  config_->DisablePeriodicReload();
  RunAt(150000);
  RunAt(200000);
  EXPECT_EQ(network_.fetches.size(), 2u);
  // Asked directly, the configuration is still loaded.
  config_->LoadConfigFromServer();
  EXPECT_EQ(network_.fetches.size(), 3u);
}

TEST_F(ReloadTest, TickCountWrapsAround) {
  Make();
  RunAt(0xFFFFF000u);
  RunAt(0xFFFFF000u + 59999u);
  EXPECT_TRUE(network_.fetches.empty());
  RunAt(0xFFFFF000u + 60000u);  // wrapped past zero
  EXPECT_EQ(network_.fetches.size(), 1u);
}

TEST_F(ReloadTest, OnlyLocalConfigOrNoAddressNeverFetches) {
  Make({"-OnlyLocalConfig"});
  config_->LoadConfigFromServer();
  RunAt(0);
  RunAt(60000);
  EXPECT_TRUE(network_.fetches.empty());
  registry_.Clear();
  Make();
  config_->set_server_config_address("");
  config_->LoadConfigFromServer();
  EXPECT_TRUE(network_.fetches.empty());
}

}  // namespace
}  // namespace zelt
