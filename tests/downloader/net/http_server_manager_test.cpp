// The choice of CDN server, driven through the real manager with an
// injected wall clock.
#include "downloader/net/http_server_manager.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace zelt {
namespace {

struct FakeWallClock {
  std::int64_t now = 1000000;
  HttpServerManager::Clock fn() {
    return [this] { return now; };
  }
};

// One full answer from the chosen server: header and a body of n bytes.
std::string Serve(HttpServerManager& m, const FakeWallClock& clock, const char* status = "206",
                  std::uint64_t n = 65536) {
  auto choice = m.GetServer();
  if (!choice) return {};
  m.OnHeader(choice->id, 200, status[0] == '2' ? n : 0, status);
  if (status[0] == '2') m.AddReceived(choice->id, n, clock.now);
  return choice->url;
}

TEST(HttpServerManager, FactorZeroServerIsNeverChosenWhileAWeightedOneServes) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001", 0));
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1002", 5));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Serve(m, clock), "http://127.0.0.1:1002") << i;
  auto snap = m.Snapshot();
  EXPECT_EQ(snap[0].requestCount, 0u);
  EXPECT_EQ(snap[1].requestCount, 50u);
  EXPECT_EQ(snap[1].state, CdnState::kAvailable);
}

TEST(HttpServerManager, ErrorStatusAvoidsServerForThirtySecondsThenItIsChosenAgain) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001", 5));
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1002", 5));
  // Both equal: the earlier one is chosen and answers 404.
  EXPECT_EQ(Serve(m, clock, "404"), "http://127.0.0.1:1001");
  auto snap = m.Snapshot();
  EXPECT_EQ(snap[0].state, CdnState::kUnavailable);
  EXPECT_EQ(snap[0].factor, -5);
  // For 30 seconds every request goes to the other server, however loaded.
  for (int s = 0; s <= 30; s += 3) {
    clock.now = 1000000 + s;
    EXPECT_EQ(Serve(m, clock), "http://127.0.0.1:1002") << "second " << s;
  }
  clock.now = 1000000 + 30;
  EXPECT_EQ(Serve(m, clock), "http://127.0.0.1:1002");
  clock.now = 1000000 + 31;
  EXPECT_EQ(Serve(m, clock), "http://127.0.0.1:1001");
  snap = m.Snapshot();
  EXPECT_EQ(snap[0].factor, 5);
  EXPECT_EQ(snap[0].state, CdnState::kAvailable);
}

TEST(HttpServerManager, StatusClassesDecideTheState) {
  struct Case {
    const char* status;
    CdnState state;
    std::int32_t factor;
  } cases[] = {
      {"200", CdnState::kAvailable, 4}, {"206", CdnState::kAvailable, 4},
      {"100", CdnState::kUnknown, 4},   {"302", CdnState::kUnknown, 4},
      {"404", CdnState::kUnavailable, -4}, {"503", CdnState::kUnavailable, -4},
      {"", CdnState::kUnavailable, -4},  {"x99", CdnState::kUnavailable, -4},
  };
  for (const Case& c : cases) {
    FakeWallClock clock;
    HttpServerManager m(clock.fn());
    ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001", 4));
    auto choice = m.GetServer();
    ASSERT_TRUE(choice);
    m.OnHeader(choice->id, 100, 10, c.status);
    auto s = m.Snapshot()[0];
    EXPECT_EQ(s.state, c.state) << c.status;
    EXPECT_EQ(s.factor, c.factor) << c.status;
    EXPECT_FALSE(s.pending) << c.status;
  }
}

TEST(HttpServerManager, WeightsShareTheBytesByFactor) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001", 1));
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1002", 3));
  std::map<std::string, int> count;
  for (int i = 0; i < 400; ++i) ++count[Serve(m, clock)];
  EXPECT_EQ(count["http://127.0.0.1:1001"], 100);
  EXPECT_EQ(count["http://127.0.0.1:1002"], 300);
}

TEST(HttpServerManager, WithoutPositiveFactorsTheLeastAskedServerIsChosen) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001", 0));
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1002", -2));
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1003", 0));
  std::string order;
  for (int i = 0; i < 6; ++i) order += Serve(m, clock).substr(17) + " ";
  EXPECT_EQ(order, "1001 1002 1003 1001 1002 1003 ");
  // Every server refusing still leaves one to ask: a failed CDN set is
  // retried rather than abandoned.
  HttpServerManager all_bad(clock.fn());
  ASSERT_TRUE(all_bad.AddServer("http://127.0.0.1:1001", 5));
  ASSERT_TRUE(all_bad.AddServer("http://127.0.0.1:1002", 5));
  EXPECT_EQ(Serve(all_bad, clock, "500"), "http://127.0.0.1:1001");
  EXPECT_EQ(Serve(all_bad, clock, "500"), "http://127.0.0.1:1002");
  EXPECT_EQ(Serve(all_bad, clock, "500"), "http://127.0.0.1:1001");
}

TEST(HttpServerManager, LostRequestStopsBeingPendingAfterFiveSeconds) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001", 1));
  ASSERT_TRUE(m.GetServer());
  EXPECT_TRUE(m.Snapshot()[0].pending);
  clock.now += 5;
  ASSERT_TRUE(m.GetServer());
  EXPECT_TRUE(m.Snapshot()[0].pending);
  clock.now += 1;
  // The check runs first (clearing pending), then the choice sets it again:
  // what moved is the state time.
  ASSERT_TRUE(m.GetServer());
  EXPECT_EQ(m.Snapshot()[0].stateTime, clock.now);
}

TEST(HttpServerManager, BoundsAndUnknownIds) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  EXPECT_FALSE(m.GetServer());
  EXPECT_TRUE(m.Empty());
  EXPECT_FALSE(m.AddServer("", 1));
  EXPECT_FALSE(m.AddServer("http://127.0.0.1/" + std::string(kMaxCdnUrlBytes, 'a'), 1));
  for (std::size_t i = 0; i < kMaxCdnServers; ++i) EXPECT_TRUE(m.AddServer("http://127.0.0.1:1/", 1));
  EXPECT_FALSE(m.AddServer("http://127.0.0.1:2", 1));
  // A trailing separator is dropped: the file name is joined with one "/".
  EXPECT_EQ(m.Snapshot()[0].url, "http://127.0.0.1:1");
  // Answers about servers that are gone (the table was rebuilt) are ignored.
  m.OnHeader(12345, 1, 1, "404");
  m.AddReceived(12345, 1, 0);
  m.OnRefuse(12345, "");
  for (const CdnServer& s : m.Snapshot()) EXPECT_EQ(s.state, CdnState::kUnknown);
  m.Clear();
  EXPECT_TRUE(m.Empty());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:3", 1));
  EXPECT_LT(m.Snapshot()[0].id, -static_cast<std::int32_t>(kMaxCdnServers));
}

TEST(HttpServerManager, MostUsedHostsAndMinuteHistory) {
  FakeWallClock clock;
  HttpServerManager m(clock.fn());
  ASSERT_TRUE(m.AddServer("http://127.0.0.1:1001/a", 1));
  ASSERT_TRUE(m.AddServer("http://127.0.0.2:1002", 1));
  ASSERT_TRUE(m.AddServer("http://127.0.0.3", 1));
  auto snap = m.Snapshot();
  m.AddReceived(snap[0].id, 10, 0);
  m.AddReceived(snap[1].id, 30, 0);
  for (std::int64_t minute = 0; minute < 100; ++minute) m.AddReceived(snap[1].id, 1, minute * 60);
  auto hosts = m.MostUsedHosts(8);
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0], "127.0.0.2");
  EXPECT_EQ(hosts[1], "127.0.0.1");
  EXPECT_EQ(m.MostUsedHosts(1).size(), 1u);
  auto history = m.Snapshot()[1].minuteBytes;
  EXPECT_EQ(history.size(), kCdnHistoryMinutes);
  EXPECT_EQ(history.rbegin()->first, 99);
}

TEST(UrlHost, Forms) {
  EXPECT_EQ(UrlHost("http://127.0.0.1:8080/x"), "127.0.0.1");
  EXPECT_EQ(UrlHost("http://localhost/x"), "localhost");
  EXPECT_EQ(UrlHost("127.0.0.9"), "127.0.0.9");
}

}  // namespace
}  // namespace zelt
