#include "downloader/framework/service_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "downloader/framework/service_driver.h"

namespace zelt::framework {
namespace {

class IPeer : public DefaultService {
 public:
  virtual int Answer() = 0;
};
class IExtra : public DefaultService {};

// Start answers from `start_results` (the last one repeats); Answer gives 42.
class Peer : public IPeer {
 public:
  explicit Peer(std::vector<int> start_results = {kPhaseDone}) : start_(std::move(start_results)) {}
  int Init() override { return kPhaseDone; }
  int Start() override {
    int r = start_.front();
    if (start_.size() > 1) start_.erase(start_.begin());
    return r;
  }
  int Run() override { return kPhaseDone; }
  int Stop() override { return kPhaseDone; }
  int Release() override { return kPhaseDone; }
  int Answer() override { return 42; }

 private:
  std::vector<int> start_;
};

// A service of an unrelated kind registered under the peer's name.
class Stranger : public IExtra {
 public:
  int Init() override { return kPhaseDone; }
  int Start() override { return kPhaseDone; }
  int Run() override { return kPhaseDone; }
  int Stop() override { return kPhaseDone; }
  int Release() override { return kPhaseDone; }
};

// Waits for "Peer", binds it as required and "Extra" as optional; Run asks
// the peer through the bound reference.
class Needy : public DefaultService {
 public:
  int Init() override { return kPhaseDone; }
  int Start() override {
    ++start_calls;
    if (int r = WaitForAll(*driver_, {"Peer"}); r != kPhaseDone) return start_result = r;
    ServiceLookup lookup(registry_, "Needy");
    lookup.Require(peer, "Peer").Optional(extra, "Extra");
    missing = lookup.missing();
    start_result = lookup.Result();
    return start_result;
  }
  int Run() override {
    answer = peer->Answer();
    return kPhaseDone;
  }
  int Stop() override { return kPhaseDone; }
  int Release() override { return kPhaseDone; }

  ServiceRef<IPeer> peer;
  IExtra* extra = nullptr;
  int start_calls = 0;
  int start_result = -1;  // of the last Start
  int answer = 0;
  std::vector<std::string> missing;
};

enum class PeerKind { kNone, kPeer, kStranger };

struct Case {
  const char* name;
  PeerKind kind;
  std::vector<int> peer_start;  // for kPeer
  bool with_extra;
  int needy_start;  // the last answer of Needy's Start
  std::vector<std::string> missing;
};

class ServiceLookupTest : public ::testing::TestWithParam<Case> {};

TEST_P(ServiceLookupTest, StartBindsOrFails) {
  const Case& c = GetParam();
  InterfaceMgr registry;
  ServiceDriver driver;
  driver.set_phase_interval_ms(1);
  auto add = [&](const char* name, DefaultService* service) {
    ASSERT_TRUE(driver.Register(name, service));
    ASSERT_TRUE(registry.Register(name, service));
  };
  if (c.kind == PeerKind::kPeer) add("Peer", new Peer(c.peer_start));
  // A stranger under the peer's name starts, so the wait passes and only the
  // lookup can tell that it is the wrong kind.
  if (c.kind == PeerKind::kStranger) add("Peer", new Stranger());
  Stranger* extra = nullptr;
  if (c.with_extra) {
    extra = new Stranger();
    add("Extra", extra);
  }
  auto* needy = new Needy();
  add("Needy", needy);

  driver.Run();  // every Run answers done, so the phases end on their own

  // The driver has released but not freed the services.
  EXPECT_EQ(needy->start_result, c.needy_start);
  EXPECT_EQ(needy->missing, c.missing);
  if (c.needy_start == kPhaseDone) {
    ASSERT_TRUE(needy->peer.bound());
    EXPECT_EQ(needy->answer, 42);  // Run reached the peer through the reference
    EXPECT_EQ(needy->extra, extra);
  } else {
    EXPECT_EQ(needy->answer, 0);  // a failed Start keeps the service out of Run
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceLookupTest,
    ::testing::Values(
        Case{"Found", PeerKind::kPeer, {kPhaseDone}, true, kPhaseDone, {}},
        Case{"OptionalMissing", PeerKind::kPeer, {kPhaseDone}, false, kPhaseDone, {}},
        Case{"PeerStartsLate", PeerKind::kPeer, {kPhaseNotYet, kPhaseNotYet, kPhaseDone}, false,
             kPhaseDone, {}},
        Case{"PeerFailsItsStart", PeerKind::kPeer, {kPhaseNotYet, kPhaseFailed}, false,
             kPhaseFailed, {}},
        Case{"PeerMissing", PeerKind::kNone, {}, true, kPhaseFailed, {}},
        Case{"PeerOfAnotherKind", PeerKind::kStranger, {}, false, kPhaseFailed, {"Peer"}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(WaitForAllTest, FirstUnfinishedAnswerWins) {
  InterfaceMgr registry;
  ServiceDriver driver;
  ASSERT_TRUE(driver.Register("A", new Peer()));
  ASSERT_TRUE(driver.Register("B", new Peer()));
  // Nothing has started yet: the first name answers "not yet".
  EXPECT_EQ(WaitForAll(driver, {"A", "B"}), kPhaseNotYet);
  // An unknown name fails, even behind names that are merely not ready.
  EXPECT_EQ(WaitForAll(driver, {"Nobody", "A"}), kPhaseFailed);
  EXPECT_EQ(WaitForAll(driver, {}), kPhaseDone);
  // Registered, not started: the wanted state 0 (registered) is reached.
  EXPECT_EQ(WaitForAll(driver, {"A", "B"}, kStateRegistered), kPhaseDone);
}

}  // namespace
}  // namespace zelt::framework
