#include "downloader/p2p/p2p_client.h"

#include <mutex>

#include "downloader/framework/log.h"
#include "downloader/framework/service_lookup.h"
#include "downloader/services/config_service.h"
#include "downloader/services/shell_info.h"

namespace zelt {
namespace {

using framework::kPhaseDone;
using framework::kPhaseFailed;
using framework::kPhaseNotYet;

constexpr const char* kModule = P2PClient::kModule;

}  // namespace

P2PClient::~P2PClient() {
  if (http_) http_->Stop();
}

int P2PClient::Init() {
  user_id_ = -1;
  ZLOG(log::kInfo, kModule, "P2PClient::Init");
  return kPhaseDone;
}

int P2PClient::Start() {
  if (int r = framework::WaitForAll(*driver_, {kConfigServiceName, kNetworkServiceName, kFileSystemServiceName});
      r != kPhaseDone) {
    return r;
  }
  ZLOG(log::kNotice, kModule, "P2PClient::Start");
  if (int r = framework::ServiceLookup(registry_, kModule).Require(config_, kConfigServiceName).Result();
      r != kPhaseDone) {
    return r;
  }
  if (config_->params().generate_download_info) {
    Info("仅生成续传信息");
    return kPhaseDone;
  }
  links_ = MakeCoreLinks(*registry_);
  if (!links_.store) {
    ZLOG(log::kError, kModule, "P2PClient::Start no file system");
    return kPhaseFailed;
  }
  HttpDownloader::Hooks hooks;
  // No peer has any block of ours yet: nothing to cancel.
  hooks.cancel_peer_requests = [] { return std::size_t{0}; };
  hooks.speed_control = links_.http_speed_control;
  http_ = std::make_unique<HttpDownloader>(*links_.store, servers_, std::move(hooks));
  links_.store->SetPriorityListener([this](std::uint32_t level) {
    if (http_running_) http_->TryPriorityAlloc(level);
  });

  config_->TakeCdnListChanged();
  AddCdnServers();
  if (!links_.store->IsComplete()) {
    Info("开启Http下载");
    ZLOG(log::kNotice, kModule, "开启Http下载");
    http_running_ = true;
    http_->Start(config_->Get(ConfigInt::kHttpDownloadThreadNum));
  } else {
    Info("启动时所有文件均已完成");
    finish_handled_ = true;
  }
  ZLOG(log::kNotice, kModule, "本地 ip=%s", links_.local_address.c_str());
  config_->SetState(kDownloading);
  ZLOG(log::kNotice, kModule, "开始下载所需文件");
  return kPhaseDone;
}

void P2PClient::AddCdnServers() {
  std::vector<CdnEntry> list = config_->cdn_list();
  if (list.empty()) {
    // A task without CDN entries is served by the servers that carry its
    // description: they hold the same tree.
    for (const std::string& url : config_->http_list()) list.push_back({url, 0});
  }
  for (const CdnEntry& e : list) {
    ZLOG(log::kNotice, kModule, "添加cdn url=%s factor=%d", e.url.c_str(), e.factor);
    if (!servers_.AddServer(e.url, e.factor)) {
      ZLOG(log::kWarning, kModule, "cdn refused url=%s", e.url.c_str());
    }
  }
}

int P2PClient::Run() {
  if (!config_.bound() || !links_.store || !http_) return kPhaseNotYet;
  const bool allowed = links_.store->PendingWriteBytes() < kPendingWriteLimit;
  http_->SetDownloadingAllowed(allowed);
  if (!finish_handled_ && links_.store->IsComplete()) {
    finish_handled_ = true;
    Info("P2PClient::OnDownloadFinish");
    http_running_ = false;
    http_->Stop();
  }
  if (config_->TakeCdnListChanged()) {
    servers_.Clear();
    AddCdnServers();
  }
  return kPhaseNotYet;
}

int P2PClient::Stop() {
  ZLOG(log::kNotice, kModule, "停止下载");
  ZLOG(log::kNotice, kModule, "停止HTTP下载");
  http_running_ = false;
  if (http_) http_->Stop();
  return kPhaseDone;
}

int P2PClient::Release() {
  ZLOG(log::kInfo, kModule, "P2PClient::Release");
  if (http_) {
    http_->Stop();
    http_bytes_final_ = http_->HttpBytes();
  }
  servers_.Clear();
  return kPhaseDone;
}

std::uint64_t P2PClient::HttpDownloadBytes() {
  return http_ ? http_->HttpBytes() : http_bytes_final_.load();
}

std::size_t P2PClient::ActiveHttpThreads() { return http_ ? http_->ActiveThreads() : 0; }

void P2PClient::SetUploadBandLimit(std::uint32_t bytes_per_second) {
  // Kept for the peer links; there are none yet.
  upload_limit_ = bytes_per_second;
}

void P2PClient::SetMaxDownloadConnNum(std::int32_t count) { max_download_conn_ = count; }

void P2PClient::SetHttpDownloadThreadNum(std::int32_t count) {
  if (http_ && http_running_) http_->SetThreadCount(count);
}

}  // namespace zelt
