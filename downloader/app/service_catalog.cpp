#include "downloader/app/service_catalog.h"

#include "downloader/net/network_service.h"
#include "downloader/p2p/p2p_client.h"
#include "downloader/services/config_service.h"
#include "downloader/services/monitor_service.h"
#include "downloader/services/p2p_service.h"
#include "downloader/stats/stat_recorder.h"
#include "downloader/storage/file_system.h"

namespace zelt {

std::vector<ServiceEntry> CreateServices(const Parameters& params) {
  std::vector<ServiceEntry> out;
  out.push_back({kConfigServiceName, new ConfigService(params)});
  out.push_back({kFileSystemServiceName, new FileSystem()});
  out.push_back({kNetworkServiceName, new NetworkService()});
  out.push_back({kP2PClientServiceName, new P2PClient()});
  out.push_back({kStatRecorderServiceName, new StatRecorder()});
  out.push_back({kMonitorServiceName, new MonitorService()});
  out.push_back({kP2PServiceName, new P2PService()});
  return out;
}

}  // namespace zelt
