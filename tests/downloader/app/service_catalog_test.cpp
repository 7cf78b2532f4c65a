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
  const std::vector<std::string> names = {"ConfigService",    "FileSystemService",   "NetworkService",
                                          "P2PClientService", "StatRecorderService", "MonitorService",
                                          "P2PService"};
  ASSERT_EQ(services.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(services[i].name, names[i]) << i;
  auto* config = dynamic_cast<ConfigService*>(services[0].service);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->Get(ConfigInt::kMaxUploadConnNum), 9);  // the parameters are handed over
  EXPECT_NE(dynamic_cast<IFileSystemService*>(services[1].service), nullptr);
  EXPECT_NE(dynamic_cast<NetworkService*>(services[2].service), nullptr);
  EXPECT_NE(dynamic_cast<IP2PClientService*>(services[3].service), nullptr);
  EXPECT_NE(dynamic_cast<IStatRecorderService*>(services[4].service), nullptr);
  EXPECT_NE(dynamic_cast<IMonitorService*>(services[5].service), nullptr);
  EXPECT_NE(dynamic_cast<P2PService*>(services[6].service), nullptr);
  for (ServiceEntry& e : services) e.service->Free();
}

}  // namespace
}  // namespace zelt
