// The services of the downloader core, created in the order in which they
// are registered and driven.
#pragma once

#include <string>
#include <vector>

#include "downloader/framework/service.h"
#include "downloader/services/parameters.h"

namespace zelt {

struct ServiceEntry {
  std::string name;
  framework::DefaultService* service = nullptr;
};

// ConfigService, FileSystemService, NetworkService, P2PClientService,
// StatRecorderService, MonitorService, P2PService: every one of them that
// this build carries, in that order. The caller owns the objects.
std::vector<ServiceEntry> CreateServices(const Parameters& params);

}  // namespace zelt
