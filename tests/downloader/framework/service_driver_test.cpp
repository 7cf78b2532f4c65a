#include "downloader/framework/service_driver.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zelt::framework {
namespace {

using Journal = std::vector<std::string>;

// A service whose phases answer from a script: each phase takes its results
// from a queue (the last one repeats), and every call is journaled.
class ScriptedService : public DefaultService {
 public:
  ScriptedService(std::string name, Journal* journal, bool* freed = nullptr)
      : name_(std::move(name)), journal_(journal), freed_(freed) {}
  ~ScriptedService() override {
    if (freed_ != nullptr) *freed_ = true;
  }

  std::deque<int> init{0}, start{0}, run{0}, stop{0}, release{0};
  std::vector<std::string> start_waits_for;  // names Start waits on (state 3)
  std::function<void(int call)> on_start;    // runs on each Start call
  std::function<void(int call)> on_run;

  int Init() override { return Next("Init", init); }
  int Start() override {
    ++start_calls_;
    if (on_start) on_start(start_calls_);
    for (const std::string& dep : start_waits_for) {
      int r = driver_->WaitFor(dep, kStateStarted);
      if (r != kPhaseDone) {
        journal_->push_back(name_ + ".Start=" + std::to_string(r));
        return r;
      }
    }
    return Next("Start", start);
  }
  int Run() override {
    ++run_calls_;
    if (on_run) on_run(run_calls_);
    return Next("Run", run);
  }
  int Stop() override { return Next("Stop", stop); }
  int Release() override { return Next("Release", release); }

 private:
  int Next(const char* phase, std::deque<int>& script) {
    int r = script.front();
    if (script.size() > 1) script.pop_front();
    journal_->push_back(name_ + "." + phase + "=" + std::to_string(r));
    return r;
  }

  std::string name_;
  Journal* journal_;
  bool* freed_;
  int start_calls_ = 0;
  int run_calls_ = 0;
};

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() { driver_.set_phase_interval_ms(1); }

  ScriptedService* Add(const std::string& name) {
    auto* s = new ScriptedService(name, &journal_);
    EXPECT_TRUE(driver_.Register(name, s));
    return s;
  }
  // The journal entries of one phase, in order.
  Journal Calls(const std::string& phase) const {
    Journal out;
    for (const std::string& e : journal_) {
      if (e.find("." + phase + "=") != std::string::npos) out.push_back(e);
    }
    return out;
  }
  // A Run that stops the driver on its n-th call.
  void StopOnRun(ScriptedService* s, int n) {
    s->run = {kPhaseNotYet};
    s->on_run = [this, n](int call) {
      if (call == n) driver_.Stop();
    };
  }

  Journal journal_;
  ServiceDriver driver_;
};

TEST_F(DriverTest, PhasesRunInOrderAndShutDownInReverse) {
  ScriptedService* a = Add("A");
  ScriptedService* b = Add("B");
  ScriptedService* c = Add("C");
  a->run = b->run = {kPhaseNotYet};
  StopOnRun(c, 3);
  driver_.Run();

  EXPECT_EQ(Calls("Init"), (Journal{"A.Init=0", "B.Init=0", "C.Init=0"}));
  EXPECT_EQ(Calls("Start"), (Journal{"A.Start=0", "B.Start=0", "C.Start=0"}));
  EXPECT_EQ(Calls("Run").size(), 9u);  // three cycles until the stop flag
  EXPECT_EQ(Calls("Stop"), (Journal{"C.Stop=0", "B.Stop=0", "A.Stop=0"}));
  EXPECT_EQ(Calls("Release"), (Journal{"C.Release=0", "B.Release=0", "A.Release=0"}));
  // Nothing of a later phase runs before an earlier phase has ended.
  std::size_t last_start = 0, first_run = journal_.size();
  for (std::size_t i = 0; i < journal_.size(); ++i) {
    if (journal_[i].find(".Start=") != std::string::npos) last_start = i;
    if (journal_[i].find(".Run=") != std::string::npos) first_run = std::min(first_run, i);
  }
  EXPECT_LT(last_start, first_run);
  EXPECT_EQ(driver_.GetState("A"), kStateReleased);
}

TEST_F(DriverTest, ASlowDependencyDelaysOnlyItsDependants) {
  ScriptedService* slow = Add("Slow");
  ScriptedService* dependant = Add("Dependant");
  ScriptedService* free_one = Add("Free");
  slow->start = {kPhaseNotYet, kPhaseNotYet, kPhaseNotYet, kPhaseDone};
  dependant->start_waits_for = {"Slow"};
  StopOnRun(free_one, 1);
  slow->run = dependant->run = {kPhaseNotYet};
  driver_.Run();

  Journal starts = Calls("Start");
  // Cycle 1: Slow not yet, Dependant waits (2), Free done at once.
  ASSERT_GE(starts.size(), 3u);
  EXPECT_EQ(starts[0], "Slow.Start=2");
  EXPECT_EQ(starts[1], "Dependant.Start=2");
  EXPECT_EQ(starts[2], "Free.Start=0");
  EXPECT_EQ(starts.back(), "Dependant.Start=0");
  // Stop runs in the reverse order of Start completion: Free, Slow, Dependant.
  EXPECT_EQ(Calls("Stop"), (Journal{"Dependant.Stop=0", "Slow.Stop=0", "Free.Stop=0"}));
}

TEST_F(DriverTest, AFailedServiceIsDroppedAndItsDependantsFail) {
  ScriptedService* broken = Add("Broken");
  ScriptedService* dependant = Add("Dependant");
  ScriptedService* other = Add("Other");
  broken->init = {kPhaseFailed};
  dependant->start_waits_for = {"Broken"};
  StopOnRun(other, 2);
  driver_.Run();

  EXPECT_EQ(driver_.GetState("Broken"), kStateFailed);
  EXPECT_EQ(Calls("Start")[0], "Dependant.Start=1");
  EXPECT_EQ(Calls("Run"), (Journal{"Other.Run=2", "Other.Run=2"}));
  EXPECT_EQ(driver_.GetState("Other"), kStateReleased);
  for (const std::string& e : journal_) {
    EXPECT_EQ(e.rfind("Broken.", 0) == 0, e == "Broken.Init=1") << e;
  }
  // Dependant completed Init, so it is still released; it never started, so
  // it is not stopped.
  EXPECT_EQ(Calls("Release"), (Journal{"Other.Release=0", "Dependant.Release=0"}));
  EXPECT_EQ(Calls("Stop"), (Journal{"Other.Stop=0"}));
}

TEST_F(DriverTest, StopDuringStartSkipsRunButStillShutsDown) {
  Add("Quick");
  ScriptedService* stuck = Add("Stuck");
  stuck->start = {kPhaseNotYet};
  stuck->on_start = [this](int call) {
    if (call == 3) driver_.Stop();
  };
  driver_.Run();

  EXPECT_TRUE(Calls("Run").empty());
  EXPECT_EQ(Calls("Start").size(), 4u);  // Quick once, Stuck three times
  EXPECT_EQ(Calls("Stop"), (Journal{"Quick.Stop=0"}));
  EXPECT_EQ(Calls("Release"), (Journal{"Stuck.Release=0", "Quick.Release=0"}));
  EXPECT_EQ(driver_.GetState("Stuck"), kStateReleased);
}

TEST_F(DriverTest, StopAndReleaseWaitForNotYetDespiteTheStopFlag) {
  ScriptedService* a = Add("A");
  StopOnRun(a, 1);
  a->stop = {kPhaseNotYet, kPhaseNotYet, kPhaseDone};
  a->release = {kPhaseNotYet, kPhaseDone};
  driver_.Run();
  EXPECT_EQ(Calls("Stop"), (Journal{"A.Stop=2", "A.Stop=2", "A.Stop=0"}));
  EXPECT_EQ(Calls("Release"), (Journal{"A.Release=2", "A.Release=0"}));
}

TEST_F(DriverTest, RunPhaseEndsWhenEveryRunIsDone) {
  ScriptedService* a = Add("A");
  ScriptedService* b = Add("B");
  a->run = {kPhaseNotYet, kPhaseDone};
  b->run = {kPhaseDone};
  driver_.Run();  // returns without any Stop
  EXPECT_EQ(Calls("Run"), (Journal{"A.Run=2", "B.Run=0", "A.Run=0"}));
  EXPECT_FALSE(driver_.stop_requested());
}

TEST(ServiceWrapperTest, StatesFollowPhaseResults) {
  struct Case {
    int (ServiceWrapper::*phase)();
    int result;
    std::int32_t state;
  };
  const Case cases[] = {
      {&ServiceWrapper::Init, 0, 1},    {&ServiceWrapper::Init, 1, 10},    {&ServiceWrapper::Init, 2, 0},
      {&ServiceWrapper::Start, 0, 3},   {&ServiceWrapper::Start, 1, 10},   {&ServiceWrapper::Start, 2, 2},
      {&ServiceWrapper::Run, 0, 5},     {&ServiceWrapper::Run, 1, 10},     {&ServiceWrapper::Run, 2, 4},
      {&ServiceWrapper::Stop, 0, 7},    {&ServiceWrapper::Stop, 1, 10},    {&ServiceWrapper::Stop, 2, 6},
      {&ServiceWrapper::Release, 0, 9}, {&ServiceWrapper::Release, 1, 10}, {&ServiceWrapper::Release, 2, 8},
      {&ServiceWrapper::Run, 7, 10},  // an unknown result is a failure
  };
  for (const Case& c : cases) {
    Journal journal;
    bool freed = false;
    auto* service = new ScriptedService("S", &journal, &freed);
    service->init = service->start = service->run = service->stop = service->release = {c.result};
    auto* wrapper = new ServiceWrapper(service);
    EXPECT_EQ(wrapper->GetState(), 0);
    (wrapper->*c.phase)();
    EXPECT_EQ(wrapper->GetState(), c.state) << "result " << c.result;
    wrapper->Free();
    EXPECT_TRUE(freed);
  }
}

TEST(ServiceDriverTest, RegistrationLookupsAndFree) {
  Journal journal;
  bool freed_a = false, freed_b = false;
  {
    ServiceDriver driver;
    auto* a = new ScriptedService("A", &journal, &freed_a);
    ASSERT_TRUE(driver.Register("A", a));
    EXPECT_EQ(a->driver(), &driver);
    auto* duplicate = new ScriptedService("A2", &journal, &freed_b);
    EXPECT_FALSE(driver.Register("A", duplicate));
    EXPECT_FALSE(driver.Register("null", nullptr));
    duplicate->Free();
    EXPECT_TRUE(freed_b);

    EXPECT_EQ(driver.GetState("A"), kStateRegistered);
    EXPECT_EQ(driver.GetState("missing"), kStateFailed);
    EXPECT_EQ(driver.WaitFor("A", kStateRegistered), kPhaseDone);
    EXPECT_EQ(driver.WaitFor("A", kStateStarted), kPhaseNotYet);
    EXPECT_EQ(driver.WaitFor("missing", kStateStarted), kPhaseFailed);
    EXPECT_EQ(driver.WaitForOptional("A", kStateStarted), kPhaseNotYet);
    EXPECT_EQ(driver.WaitForOptional("missing", kStateStarted), kPhaseDone);

    a->init = {kPhaseFailed};
    driver.set_phase_interval_ms(1);
    driver.Run();
    EXPECT_EQ(driver.WaitFor("A", kStateStarted), kPhaseFailed);
    EXPECT_EQ(driver.WaitForOptional("A", kStateStarted), kPhaseDone);
    EXPECT_FALSE(freed_a);
  }
  EXPECT_TRUE(freed_a);  // the driver frees every service when it goes away
}

}  // namespace
}  // namespace zelt::framework
