#include "downloader/services/monitor_service.h"

#include <gtest/gtest.h>

#include "downloader/framework/service_driver.h"
#include "platform/dynlib.h"

namespace zelt {
namespace {

TEST(MonitorServiceTest, WithoutTheComponentTheViewsDoNothing) {
  MonitorService monitor;
  monitor.ShowP2P();
  monitor.ShowFileBlock();
  monitor.ShowP2P();
  EXPECT_FALSE(monitor.component_loaded());
}

int Count(platform::dynlib::Library& lib, const char* name) {
  auto f = reinterpret_cast<int (*)()>(lib.Symbol(name));
  return f != nullptr ? f() : -1;
}

TEST(MonitorServiceTest, AComponentOfVersionOneZeroOpensTheViews) {
  platform::dynlib::Library probe;
  ASSERT_TRUE(probe.Load(MONITOR_PATH));  // the same loaded image as the service's
  {
    MonitorService monitor(MONITOR_PATH);
    monitor.ShowFileBlock();
    monitor.ShowFileBlock();
    monitor.ShowP2P();
    EXPECT_TRUE(monitor.component_loaded());
  }  // the peer view's thread has ended here
  EXPECT_EQ(Count(probe, "BlockViews"), 2);
  EXPECT_EQ(Count(probe, "P2PViews"), 1);
}

TEST(MonitorServiceTest, AComponentOfAnotherVersionIsRefused) {
  platform::dynlib::Library probe;
  ASSERT_TRUE(probe.Load(MONITOR_EXPIRED_PATH));
  MonitorService monitor(MONITOR_EXPIRED_PATH);
  monitor.ShowFileBlock();
  monitor.ShowP2P();
  EXPECT_FALSE(monitor.component_loaded());
  EXPECT_EQ(Count(probe, "BlockViews"), 0);
  EXPECT_EQ(Count(probe, "P2PViews"), 0);
}

TEST(MonitorServiceTest, StartWaitsForTheFileSystemAndThePeerClient) {
  framework::ServiceDriver driver;
  auto* monitor = new MonitorService();
  ASSERT_TRUE(driver.Register(kMonitorServiceName, monitor));
  // Neither dependency is registered in this build: Start fails.
  EXPECT_EQ(monitor->Start(), framework::kPhaseFailed);
}

}  // namespace
}  // namespace zelt
