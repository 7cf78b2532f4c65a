#include "downloader/services/monitor_service.h"

#include "downloader/framework/log.h"
#include "downloader/framework/service_lookup.h"
#include "platform/fs.h"

namespace zelt {
namespace {

using ViewFunction = void (*)();

}  // namespace

MonitorService::~MonitorService() {
  if (p2p_view_thread_.joinable()) p2p_view_thread_.join();
}

int MonitorService::Init() {
  ZLOG(log::kInfo, kModule, "MonitorService::Init");
  return framework::kPhaseDone;
}

int MonitorService::Start() {
  if (int r = framework::WaitForAll(*driver_, {kFileSystemServiceName, kP2PClientServiceName});
      r != framework::kPhaseDone) {
    return r;
  }
  ZLOG(log::kInfo, kModule, "MonitorService::Start");
  return framework::kPhaseDone;
}

int MonitorService::Run() { return framework::kPhaseNotYet; }

int MonitorService::Stop() {
  ZLOG(log::kInfo, kModule, "MonitorService::Stop");
  return framework::kPhaseDone;
}

int MonitorService::Release() {
  ZLOG(log::kInfo, kModule, "MonitorService::Release");
  return framework::kPhaseDone;
}

bool MonitorService::LoadComponent() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tried_) return library_.loaded();
  tried_ = true;
  std::optional<std::string> path;
  if (library_path_.empty()) {
    path = platform::dynlib::Find(kComponentName);
  } else if (platform::fs::Exists(library_path_)) {
    path = library_path_;
  }
  if (!path) {
    ZLOG(log::kInfo, kModule, "no monitor component");
    return false;
  }
  std::optional<platform::dynlib::FileVersion> version = platform::dynlib::ReadFileVersion(*path);
  if (!version || (*version)[0] != 1 || (*version)[1] != 0) {
    ZLOG(log::kWarning, kModule, "monitor component %s refused: wrong version", path->c_str());
    return false;
  }
  if (!library_.Load(*path)) {
    ZLOG(log::kWarning, kModule, "monitor component %s: %s", path->c_str(), library_.error().c_str());
    return false;
  }
  return true;
}

void MonitorService::ShowP2P() {
  if (!LoadComponent()) return;
  auto show = reinterpret_cast<ViewFunction>(library_.Symbol("ShowP2PDialog"));
  if (show == nullptr || p2p_view_open_.exchange(true)) return;
  if (p2p_view_thread_.joinable()) p2p_view_thread_.join();
  p2p_view_thread_ = std::thread([this, show] {
    show();
    p2p_view_open_ = false;
  });
}

void MonitorService::ShowFileBlock() {
  if (!LoadComponent()) return;
  auto show = reinterpret_cast<ViewFunction>(library_.Symbol("ShowFileBlockDialog"));
  if (show != nullptr) show();
}

}  // namespace zelt
