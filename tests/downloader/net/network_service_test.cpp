// The network service: local address, the server configuration fetched by the
// configuration service through it (real nginx), and the HTTP bandwidth
// control on a clock the test drives.
#include "downloader/net/network_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "downloader/framework/interface.h"
#include "downloader/services/config_service.h"
#include "platform/clock.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace zelt {
namespace {

using kestra::test::NginxServer;
using kestra::test::TempDir;

Parameters Params(std::vector<std::string> args) {
  args.insert(args.begin(), "kestra-downloader");
  Parameters p;
  EXPECT_TRUE(ParseParameters(args, 1, p));
  return p;
}

// A dead port: a listener opened and closed again.
std::string DeadServer() {
  auto l = platform::net::ListenTcp(platform::net::Address{platform::net::kLoopbackIpv4, 0});
  return "http://127.0.0.1:" + std::to_string(l.LocalAddress()->port);
}

TEST(NetworkService, StartTakesTheLocalIpParameterAndTheFirstTracker) {
  framework::InterfaceMgr registry;
  ConfigService config(Params({"-HttpUrl", "http://127.0.0.1:1", "-LocalIp", "127.0.0.9"}));
  NetworkService network;
  registry.Register(kConfigServiceName, &config);
  registry.Register(kNetworkServiceName, &network);
  config.set_tracker_list({{"127.0.0.5", 9000}, {"127.0.0.6", 9001}});
  ASSERT_EQ(network.Init(), framework::kPhaseDone);
  ASSERT_EQ(network.Start(), framework::kPhaseDone);
  EXPECT_EQ(network.LocalAddress(), "127.0.0.9");
  EXPECT_EQ(config.main_server_ip(), "127.0.0.5");
  EXPECT_EQ(config.main_server_port(), 9000);
  EXPECT_EQ(network.Run(), framework::kPhaseNotYet);
  EXPECT_EQ(network.Stop(), framework::kPhaseDone);
  EXPECT_EQ(network.Release(), framework::kPhaseDone);
}

TEST(NetworkService, ConfigServiceLoadsTheServerConfigurationThroughIt) {
  TempDir dir;
  dir.Write("www/task/server.cfg", "MaxUploadConnNum = 33\r\nHttpDownloadThreadNum=7\nnonsense\n");
  dir.Write("www/big/server.cfg", std::string(70000, '#') + "\nMaxUploadConnNum=44\n");
  NginxServer nginx(dir / "www");
  struct Case {
    std::vector<std::string> servers;
    std::int32_t upload_conn;  // after the load
  };
  const Case cases[] = {
      {{DeadServer(), nginx.Url("/task")}, 33},      // the first server is down: the next one
      {{nginx.Url("/missing"), nginx.Url("/task/")}, 33},  // 404, then one with a trailing slash
      {{DeadServer()}, 20},                          // nothing answers: nothing changes
      {{nginx.Url("/big")}, 20},                     // over the bound: refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.servers.back());
    framework::InterfaceMgr registry;
    std::vector<std::string> args = {"-HttpUrl"};
    args.insert(args.end(), c.servers.begin(), c.servers.end());
    ConfigService config(Params(args));
    config.set_http_list(c.servers);  // in this order, not shuffled
    config.set_server_config_address("server.cfg");
    NetworkService network;
    registry.Register(kConfigServiceName, &config);
    registry.Register(kNetworkServiceName, &network);
    ASSERT_EQ(config.Start(), framework::kPhaseDone);
    config.LoadConfigFromServer();
    ASSERT_TRUE(config.request_pending());
    ASSERT_TRUE(kestra::test::WaitUntil([&] {
      config.Run();
      return !config.request_pending();
    }, 60000));
    EXPECT_EQ(config.Get(ConfigInt::kMaxUploadConnNum), c.upload_conn);
    if (c.upload_conn == 33) {
      EXPECT_EQ(config.Get(ConfigInt::kHttpDownloadThreadNum), 7);
    }
  }
  EXPECT_NE(nginx.AccessLog().find("GET /task/server.cfg"), std::string::npos);
}

TEST(NetworkService, AddressPickerFetchesThePageAndItsIframe) {
  TempDir dir;
  NginxServer nginx(dir.path());
  dir.Write("picker.html", "<html><iframe width=0 src=\"" + nginx.Url("/inner.html") + "\"></iframe></html>\n");
  dir.Write("inner.html", "1.2.3.4\n");
  framework::InterfaceMgr registry;
  ConfigService config(Params({"-HttpUrl", "http://127.0.0.1:1", "-LocalIp", "127.0.0.1"}));
  config.ApplyServerConfig("IPDNSPickerURL=" + nginx.Url("/picker.html") + "\n");
  NetworkService network;
  registry.Register(kConfigServiceName, &config);
  registry.Register(kNetworkServiceName, &network);
  ASSERT_EQ(network.Start(), framework::kPhaseDone);
  EXPECT_TRUE(kestra::test::WaitUntil([&] {
    network.Run();
    return nginx.AccessLog().find("GET /inner.html") != std::string::npos;
  })) << nginx.AccessLog();
  EXPECT_NE(nginx.AccessLog().find("GET /picker.html"), std::string::npos);
  EXPECT_EQ(network.Stop(), framework::kPhaseDone);
}

TEST(NetworkService, OnlyOneFetchAtATime) {
  NetworkService network;
  // Nothing to fetch from: refused at once.
  EXPECT_FALSE(network.StartTextFetch({}, "x"));
  EXPECT_FALSE(network.StartTextFetch({"http://127.0.0.1:1"}, ""));
  bool ok = true;
  std::string body;
  EXPECT_FALSE(network.TakeTextFetch(ok, body));
}

// The HTTP share of the budget: download limit minus what the peers measured.
TEST(NetworkService, HttpLimitFollowsThePeerRate) {
  std::atomic<std::uint32_t> clock{100000};
  framework::InterfaceMgr registry;
  ConfigService config(Params({"-HttpUrl", "http://127.0.0.1:1", "-DownloadLimit", "10"}));  // 10240 B/s
  NetworkService network([&] { return clock.load(); });
  registry.Register(kConfigServiceName, &config);
  registry.Register(kNetworkServiceName, &network);
  ASSERT_EQ(network.Start(), framework::kPhaseDone);
  network.AssignDownloadLimit(clock);
  EXPECT_EQ(network.http_limit(), 10240u);
  // Peers read 8000 bytes/s over the window 100000..101999.
  network.poller().receive_limiter().Consume(16000, 100000);
  clock = 102000;
  network.AssignDownloadLimit(clock);
  EXPECT_EQ(network.http_limit(), 2240u);
  network.poller().receive_limiter().Consume(30000, 102000);
  clock = 104000;
  network.AssignDownloadLimit(clock);
  EXPECT_EQ(network.http_limit(), 1u);  // peers alone exceed the limit
}

TEST(NetworkService, HttpSpeedControlHoldsTheThreadUntilTheSecondAllowsItsBytes) {
  std::atomic<std::uint32_t> clock{50000};
  framework::InterfaceMgr registry;
  ConfigService config(Params({"-HttpUrl", "http://127.0.0.1:1", "-DownloadLimit", "10"}));  // 10240 B/s
  NetworkService network([&] { return clock.load(); });
  registry.Register(kConfigServiceName, &config);
  registry.Register(kNetworkServiceName, &network);
  ASSERT_EQ(network.Start(), framework::kPhaseDone);
  network.AssignDownloadLimit(clock);  // the second starting at 50000

  network.HttpSpeedControl(10000);  // within the limit: returns at once
  EXPECT_EQ(clock.load(), 50000u);
  // 15240 bytes in the second at 10240 B/s may only end 1488 ms after its start.
  std::atomic<std::uint32_t> released_at{0};
  std::thread receiver([&] {
    network.HttpSpeedControl(5240);
    released_at = clock.load();
  });
  // The test's clock moves on in steps until the thread is let go.
  kestra::test::WaitUntil([&] {
    if (released_at.load() != 0 || clock.load() >= 52000) return true;
    clock += 50;
    return false;
  });
  receiver.join();
  EXPECT_GE(released_at.load(), 51488u);
  EXPECT_EQ(network.HttpTotalBytes(), 15240u);

  // The next step reports what the second carried and starts counting again.
  clock = 52000;
  network.AssignDownloadLimit(clock);
  EXPECT_EQ(network.http_speed(), 15240u);

  // A stopped thread is not held.
  std::atomic<bool> stop{true};
  network.HttpSpeedControl(100000, &stop);
  EXPECT_EQ(clock.load(), 52000u);
}

}  // namespace
}  // namespace zelt
