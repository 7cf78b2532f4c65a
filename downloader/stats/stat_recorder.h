// The statistics recorder service: measures the download rates once a
// second, performs the completion step of the download (state
// DOWNLOAD_COMPLETED, removal of the information files when asked) and
// keeps the report text of the diagnostic reports.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "downloader/services/service_interfaces.h"

namespace zelt {

class ConfigService;
class P2PClient;

inline constexpr std::uint32_t kStatIntervalMs = 1000;
inline constexpr std::size_t kStatHistorySeconds = 200;
inline constexpr std::size_t kStatRecentSamples = 180;
inline constexpr std::int64_t kStallSeconds = 600;
// Bounds of the report text (labels and values come partly from outside).
inline constexpr std::size_t kMaxReportEntries = 128;
inline constexpr std::size_t kMaxReportValueBytes = 1 << 20;

// Begin and end states of a run as the reports name them.
enum StatRunState : std::int32_t {
  kRunBegin = 0,
  kRunContinue = 1,
  kRunComplete = 2,
  kRunCancel = 3,
  kRunFinish = 4,
  kRunFail = 5,
  kRunRestart = 6,
  kRunUnset = -1,
};
const char* RunStateWord(std::int32_t state);

class StatRecorder : public IStatRecorderService {
 public:
  static constexpr const char* kModule = "StatRecorder";
  using TickSource = std::function<std::uint32_t()>;
  using WallClock = std::function<std::int64_t()>;

  StatRecorder(TickSource tick = {}, WallClock wall = {});

  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;

  float UploadRate() override;
  float DownloadRate() override;
  std::int64_t StartTime() override { return start_time_; }
  double RecentAverageRate(std::uint32_t& samples) override;
  void SetEnd(std::int32_t reason, std::int64_t end_time) override;
  void AddReportSection(const std::string& label, const std::string& value) override;
  void CollectReportStep(int bit) override;
  void SendReport(int timeout_ms) override;

  std::int32_t begin_state() const { return begin_state_; }
  std::int32_t end_state() const { return end_state_; }
  // The report text: "[label]\nvalue\n" per entry, labels in byte order.
  std::string ReportText() const;
  // The ten averages over the last 20, 40, ... 200 seconds (-1 when the
  // history is too short).
  std::vector<float> AverageSpeeds() const;

 private:
  void Measure(std::uint32_t elapsed_ms);
  void CheckCompletion();
  void ReportServer();
  void ReportDownloadStat();
  void BuildReport(std::int32_t mask);

  TickSource tick_;
  WallClock wall_;
  ConfigService* config_ = nullptr;
  IFileSystemService* file_system_ = nullptr;
  P2PClient* client_ = nullptr;

  std::int32_t begin_state_ = kRunBegin;
  std::int32_t end_state_ = kRunUnset;
  std::int64_t start_time_ = 0;
  std::int64_t end_time_ = 0;
  std::int64_t last_progress_ = 0;
  bool stall_reported_ = false;
  bool server_reported_ = false;
  bool stat_sent_ = false;

  bool has_tick_ = false;
  std::uint32_t last_tick_ = 0;
  std::uint64_t last_http_bytes_ = 0;

  mutable std::mutex mutex_;  // rates, history and report text
  float http_kbs_ = 0, download_kbs_ = 0, upload_kbs_ = 0;
  std::deque<float> history_;  // one download sample (kB/s) per second, newest last
  std::map<std::string, std::string> report_;
};

}  // namespace zelt
