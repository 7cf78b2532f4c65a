// The interfaces by which the services find each other, and the names they
// are registered under. Each concrete service derives from its interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "downloader/framework/service.h"

namespace zelt {

inline constexpr const char* kConfigServiceName = "ConfigService";
inline constexpr const char* kFileSystemServiceName = "FileSystemService";
inline constexpr const char* kNetworkServiceName = "NetworkService";
inline constexpr const char* kP2PClientServiceName = "P2PClientService";
inline constexpr const char* kStatRecorderServiceName = "StatRecorderService";
inline constexpr const char* kMonitorServiceName = "MonitorService";
inline constexpr const char* kP2PServiceName = "P2PService";

using framework::DefaultService;

class IConfigService;  // config_service.h

// The file system service: the task's files and their blocks.
class IFileSystemService : public DefaultService {
 public:
  struct ByteCounters {
    std::uint64_t total = 0;           // T
    std::uint64_t received = 0;        // R
    std::uint64_t complete = 0;        // K
    std::uint64_t complete_at_start = 0;  // S: complete when this run began
  };
  virtual ByteCounters Counters() = 0;
  // Name of the registered file with the index; false when there is none.
  virtual bool FileName(std::uint32_t index, std::string& name) = 0;
  // Sets the quick level under the service's lock.
  virtual void SetQuickLevel(std::uint32_t level) = 0;
  // Raises the priority of the blocks of the file in the byte range.
  virtual bool SetPriority(const std::string& file, std::uint32_t start, std::uint32_t length,
                           std::uint32_t level) = 0;
  // The block states of every file, as the diagnostic report lists them.
  virtual std::string BlockStatusText() = 0;
};

// The network service: sockets, and the asynchronous text fetch through
// which the configuration service loads the server configuration.
class INetworkService : public DefaultService {
 public:
  // Starts fetching the address relative to each of the servers in turn;
  // false when no request could be started.
  virtual bool StartTextFetch(const std::vector<std::string>& servers,
                              const std::string& address) = 0;
  // True once the fetch has ended; ok tells whether a body came back.
  virtual bool TakeTextFetch(bool& ok, std::string& body) = 0;
};

// The peer client (download state machine, peers and HTTP downloader).
class IP2PClientService : public DefaultService {
 public:
  virtual std::int32_t UserId() = 0;
  // Peers held by the peer manager, read under its lock.
  virtual std::int32_t PeerCount() = 0;
  virtual std::uint64_t HttpDownloadBytes() = 0;
  virtual std::uint64_t PeerDownloadBytes() = 0;
  // Applied at once.
  virtual void SetUploadBandLimit(std::uint32_t bytes_per_second) = 0;
  virtual void SetMaxDownloadConnNum(std::int32_t count) = 0;
  virtual void SetHttpDownloadThreadNum(std::int32_t count) = 0;
};

// The statistics recorder: rates, end reason and the reports.
class IStatRecorderService : public DefaultService {
 public:
  // Current rates in kB/s.
  virtual float UploadRate() = 0;
  virtual float DownloadRate() = 0;
  // Seconds since 1970 when the recorder started.
  virtual std::int64_t StartTime() = 0;
  // Average of the last one-second rate samples in kB/s; samples = how many
  // it holds (at most 180).
  virtual double RecentAverageRate(std::uint32_t& samples) = 0;
  // Reason 3: quit, 6: restart.
  virtual void SetEnd(std::int32_t reason, std::int64_t end_time) = 0;
  // Diagnostic report: sections, further collection steps (bits 2 and 3 of
  // the mask), then the post with a time-out.
  virtual void AddReportSection(const std::string& label, const std::string& value) = 0;
  virtual void CollectReportStep(int bit) = 0;
  virtual void SendReport(int timeout_ms) = 0;
};

// The optional diagnostic views.
class IMonitorService : public DefaultService {
 public:
  virtual void ShowP2P() = 0;
  virtual void ShowFileBlock() = 0;
};

class IP2PService : public DefaultService {};

}  // namespace zelt
