// The configuration service: every setting of the downloader core (built-in
// defaults, the command line, the server configuration text, the "set"
// commands) and the download state with its history.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "downloader/services/parameters.h"
#include "shared/protocol/protocol.h"
#include "downloader/services/service_interfaces.h"

namespace zelt {

inline constexpr std::int32_t kCoreVersion = 27233;
inline constexpr std::uint64_t kPendingWriteLimit = 134217728;  // 128 MiB
// Bounds of the server configuration text.
inline constexpr std::size_t kMaxServerConfigBytes = 64 * 1024;
inline constexpr std::size_t kMaxListEntries = 64;
// The reload interval is kept where its milliseconds fit 32 bits.
inline constexpr std::int32_t kMaxUpdateConfigIntervalSecond = 4294967;

// Download states: what a run has reached (the numbers and names are part of
// the contract with the updater).
using kestra::protocol::DownloadState;
using enum kestra::protocol::DownloadState;
using kestra::protocol::DownloadStateName;

// 32-bit settings, by the names of the server configuration.
enum class ConfigInt : int {
  kMaxUploadConnNum,
  kMaxDownloadConnNum,
  kMaxNetworkConnNum,
  kEruptConnectNum,
  kMaxWaitTime,
  kMaxTryTime,
  kGetPeerListIntervalSecond,
  kStateReportIntervalPercent,
  kCleanupPeerIntervalSecond,
  kUploadThreadNum,
  kMaxWaitTask,
  kHttpDownloadThreadNum,
  kUploadBandLimitSecond,    // bytes/s
  kDownloadBandLimitSecond,  // bytes/s
  kUpdateConfigIntervalSecond,
  kReportMask,
  kIsUpdaterInfoFolderHidden,  // flags: 0 or 1
  kDeleteDownloadInfo,
  kUsingUPnP,
  kReportEnable,
  kCount,
};

struct CdnEntry {
  std::string url;
  std::int32_t factor = 0;
  bool operator==(const CdnEntry&) const = default;
};

// One tracker named by the task's torrent.
struct TrackerAddress {
  std::string ip;
  std::uint16_t port = 0;
  bool operator==(const TrackerAddress&) const = default;
};

// "CDNList" text: blank-separated entries "URL" or "URL<factor>", each
// optionally in double quotes. Entries without a URL are skipped.
std::vector<CdnEntry> ParseCdnList(const std::string& text);

class IConfigService : public DefaultService {
 public:
  virtual std::int32_t Get(ConfigInt field) const = 0;
  virtual void Set(ConfigInt field, std::int32_t value) = 0;
  virtual void SetState(std::int32_t state) = 0;
  virtual std::int32_t State() const = 0;
  virtual void LoadConfigFromServer() = 0;
};

class ConfigService : public IConfigService {
 public:
  explicit ConfigService(const Parameters& params);

  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;

  std::int32_t Get(ConfigInt field) const override;
  void Set(ConfigInt field, std::int32_t value) override;
  bool Flag(ConfigInt field) const { return Get(field) != 0; }

  // Appends to the history, stores the state, sends "P2PState" on the
  // control channel and logs it.
  void SetState(std::int32_t state) override;
  std::int32_t State() const override;
  std::vector<std::int32_t> StateHistory() const;

  void LoadConfigFromServer() override;
  // Applies a server configuration text; returns how many settings changed.
  int ApplyServerConfig(const std::string& text);

  const Parameters& params() const { return params_; }
  std::int32_t mode() const { return params_.mode; }
  std::int32_t version() const { return kCoreVersion; }
  const std::string& current_dir() const { return params_.current_dir; }

  std::uint16_t tcp_listen_port() const { return tcp_port_; }
  void set_tcp_listen_port(std::uint16_t port) { tcp_port_ = port; }
  std::uint16_t udp_port() const { return udp_port_; }
  void set_udp_port(std::uint16_t port) { udp_port_ = port; }

  // Lists and texts, replaced as a whole under the lists lock.
  std::vector<CdnEntry> cdn_list() const;
  void set_cdn_list(std::vector<CdnEntry> list);
  // Reads and clears the CDN-list-changed flag.
  bool TakeCdnListChanged();
  std::vector<std::string> http_list() const;
  // The trackers of the torrent, in its order (replaced as a whole).
  std::vector<TrackerAddress> tracker_list() const;
  void set_tracker_list(std::vector<TrackerAddress> list);
  void set_http_list(std::vector<std::string> list);
  std::string ip_dns_picker_url() const;
  std::string server_config_address() const;
  void set_server_config_address(const std::string& address);
  std::string main_server_ip() const;
  std::uint16_t main_server_port() const { return main_server_port_; }
  void set_main_server(const std::string& ip, std::uint16_t port);
  struct InfoFilePaths {
    std::string seed, seed_past, download_info;
  };
  InfoFilePaths info_file_paths() const;
  void set_info_file_paths(const InfoFilePaths& paths);

  bool periodic_reload() const { return periodic_reload_; }
  // The "set" commands switch the periodic reload off.
  void DisablePeriodicReload() { periodic_reload_ = false; }
  bool request_pending() const { return request_pending_; }

  // Tick source for the reload interval (tests replace it).
  void set_tick_source(std::function<std::uint32_t()> tick) { tick_ = std::move(tick); }

 private:
  bool ApplyLine(const std::string& key, const std::string& value);
  void CheckResponse();

  const Parameters params_;
  std::array<std::atomic<std::int32_t>, static_cast<std::size_t>(ConfigInt::kCount)> ints_{};
  std::atomic<std::uint16_t> tcp_port_{0};
  std::atomic<std::uint16_t> udp_port_{0};
  std::atomic<std::uint16_t> main_server_port_{0};

  mutable std::mutex state_mutex_;
  std::int32_t state_ = 0;
  std::vector<std::int32_t> history_;

  mutable std::mutex lists_mutex_;
  std::vector<CdnEntry> cdn_list_;
  bool cdn_list_changed_ = false;
  std::vector<std::string> http_list_;
  std::vector<TrackerAddress> tracker_list_;
  std::string ip_dns_picker_url_;
  std::string server_config_address_;
  std::string main_server_ip_;
  InfoFilePaths info_paths_;

  std::atomic<bool> periodic_reload_{true};
  std::atomic<bool> request_pending_{false};
  bool has_last_load_ = false;
  std::uint32_t last_load_tick_ = 0;
  std::function<std::uint32_t()> tick_;
  INetworkService* network_ = nullptr;  // bound in Start; absent: no server configuration
};

}  // namespace zelt
