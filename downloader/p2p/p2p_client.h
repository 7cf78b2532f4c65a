// The P2P client service: owns the CDN server table and the HTTP range
// downloader. Its start adds the CDN servers and starts the HTTP threads
// (unless every file is already complete) and sets the download state to
// DOWNLOADING; each driver turn it pauses the downloads while the write
// thread holds too much unwritten data, notices the end of the download and
// follows changes of the CDN list.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "downloader/framework/service_lookup.h"
#include "downloader/net/http_downloader.h"
#include "downloader/net/http_server_manager.h"
#include "downloader/p2p/download_store.h"
#include "downloader/services/service_interfaces.h"

namespace zelt {

class ConfigService;

class P2PClient : public IP2PClientService {
 public:
  static constexpr const char* kModule = "P2PClient";

  P2PClient() = default;
  ~P2PClient() override;

  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;

  std::int32_t UserId() override { return user_id_; }
  std::int32_t PeerCount() override { return 0; }
  std::uint64_t HttpDownloadBytes() override;
  std::uint64_t PeerDownloadBytes() override { return 0; }
  void SetUploadBandLimit(std::uint32_t bytes_per_second) override;
  void SetMaxDownloadConnNum(std::int32_t count) override;
  void SetHttpDownloadThreadNum(std::int32_t count) override;

  // For the statistics recorder.
  HttpServerManager& servers() { return servers_; }
  std::size_t ActiveHttpThreads();
  IDownloadStore* store() { return links_.store.get(); }

 private:
  void AddCdnServers();

  framework::ServiceRef<ConfigService> config_;
  CoreLinks links_;
  HttpServerManager servers_;
  std::unique_ptr<HttpDownloader> http_;
  std::atomic<std::uint64_t> http_bytes_final_{0};
  std::atomic<bool> http_running_{false};
  bool finish_handled_ = false;
  std::int32_t user_id_ = -1;
  std::uint32_t upload_limit_ = 0;
  std::int32_t max_download_conn_ = 0;
};

}  // namespace zelt
