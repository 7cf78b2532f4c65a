#include "downloader/services/monitor_service.h"

#include <gtest/gtest.h>

#include "downloader/framework/service_driver.h"

namespace zelt {
namespace {

TEST(MonitorServiceTest, WithoutTheComponentTheViewsDoNothing) {
  MonitorService monitor;
  monitor.ShowP2P();
  monitor.ShowFileBlock();
  monitor.ShowP2P();
  EXPECT_FALSE(monitor.component_loaded());
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
