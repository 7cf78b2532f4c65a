#include "downloader/app/service_catalog.h"

#include <gtest/gtest.h>

#include "downloader/net/network_service.h"
#include "downloader/services/config_service.h"
#include "downloader/services/monitor_service.h"
#include "downloader/services/p2p_service.h"
#include "downloader/storage/file_system.h"

namespace zelt {
namespace {

TEST(ServiceCatalogTest, ServicesInRegistrationOrderWithTheirNames) {
  Parameters params;
  ASSERT_TRUE(ParseParameters({"core", "-HttpUrl", "http://127.0.0.1:1/", "-MaxUploadNum", "9"}, 1, params));
  std::vector<ServiceEntry> services = CreateServices(params);
  ASSERT_EQ(services.size(), 5u);
  EXPECT_EQ(services[0].name, "ConfigService");
  EXPECT_EQ(services[1].name, "FileSystemService");
  EXPECT_EQ(services[2].name, "NetworkService");
  EXPECT_EQ(services[3].name, "MonitorService");
  EXPECT_EQ(services[4].name, "P2PService");
  auto* config = dynamic_cast<ConfigService*>(services[0].service);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->Get(ConfigInt::kMaxUploadConnNum), 9);  // the parameters are handed over
  EXPECT_NE(dynamic_cast<FileSystem*>(services[1].service), nullptr);
  EXPECT_NE(dynamic_cast<NetworkService*>(services[2].service), nullptr);
  EXPECT_NE(dynamic_cast<IMonitorService*>(services[3].service), nullptr);
  EXPECT_NE(dynamic_cast<P2PService*>(services[4].service), nullptr);
  for (ServiceEntry& e : services) e.service->Free();
}

}  // namespace
}  // namespace zelt
