#include "downloader/app/service_catalog.h"

#include "downloader/net/network_service.h"
#include "downloader/services/config_service.h"
#include "downloader/services/monitor_service.h"
#include "downloader/services/p2p_service.h"
#include "downloader/storage/file_system.h"

namespace zelt {

std::vector<ServiceEntry> CreateServices(const Parameters& params) {
  std::vector<ServiceEntry> out;
  out.push_back({kConfigServiceName, new ConfigService(params)});
  out.push_back({kFileSystemServiceName, new FileSystem()});
  out.push_back({kNetworkServiceName, new NetworkService()});
  // P2PClientService and StatRecorderService join here, in this order.
  out.push_back({kMonitorServiceName, new MonitorService()});
  out.push_back({kP2PServiceName, new P2PService()});
  return out;
}

}  // namespace zelt
