// Small stand-ins for the services that the control server reads from, with
// values the tests set and records of what they were asked to do.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "downloader/services/service_interfaces.h"

namespace zelt::test {

// Phases that succeed at once; Run answers run_result.
template <typename Interface>
class StubService : public Interface {
 public:
  int Init() override { return framework::kPhaseDone; }
  int Start() override { return framework::kPhaseDone; }
  int Run() override { return run_result; }
  int Stop() override { return framework::kPhaseDone; }
  int Release() override { return framework::kPhaseDone; }
  int run_result = framework::kPhaseNotYet;
};

class StubFileSystem : public StubService<IFileSystemService> {
 public:
  ByteCounters Counters() override {
    std::lock_guard<std::mutex> lock(mutex);
    return counters;
  }
  bool FileName(std::uint32_t index, std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (index >= files.size()) return false;
    name = files[index];
    return true;
  }
  void SetQuickLevel(std::uint32_t level) override { quick_level = level; }
  bool SetPriority(const std::string& file, std::uint32_t start, std::uint32_t length,
                   std::uint32_t level) override {
    std::lock_guard<std::mutex> lock(mutex);
    priority_calls.push_back(file + " " + std::to_string(start) + " " + std::to_string(length) +
                             " " + std::to_string(level));
    return priority_result;
  }
  std::string BlockStatusText() override { return "a.dat\nFF\n"; }

  std::mutex mutex;
  ByteCounters counters;
  std::vector<std::string> files;
  std::atomic<std::uint32_t> quick_level{0};
  std::vector<std::string> priority_calls;
  bool priority_result = true;
};

class StubNetwork : public StubService<INetworkService> {
 public:
  bool StartTextFetch(const std::vector<std::string>&, const std::string&) override { return false; }
  bool TakeTextFetch(bool&, std::string&) override { return false; }
};

class StubP2PClient : public StubService<IP2PClientService> {
 public:
  std::int32_t UserId() override { return user_id; }
  std::int32_t PeerCount() override { return peers; }
  std::uint64_t HttpDownloadBytes() override { return http_bytes; }
  std::uint64_t PeerDownloadBytes() override { return peer_bytes; }
  void SetUploadBandLimit(std::uint32_t bytes) override { upload_limit = bytes; }
  void SetMaxDownloadConnNum(std::int32_t count) override { max_download = count; }
  void SetHttpDownloadThreadNum(std::int32_t count) override { http_threads = count; }

  std::atomic<std::int32_t> user_id{0}, peers{0};
  std::atomic<std::uint64_t> http_bytes{0}, peer_bytes{0};
  std::atomic<std::uint32_t> upload_limit{0};
  std::atomic<std::int32_t> max_download{-1}, http_threads{-1};
};

class StubStatRecorder : public StubService<IStatRecorderService> {
 public:
  float UploadRate() override { return upload_rate; }
  float DownloadRate() override { return download_rate; }
  std::int64_t StartTime() override { return start_time; }
  double RecentAverageRate(std::uint32_t& samples) override {
    samples = recent_samples;
    return recent_rate;
  }
  void SetEnd(std::int32_t reason, std::int64_t time) override {
    std::lock_guard<std::mutex> lock(mutex);
    journal.push_back("end " + std::to_string(reason) + " " + std::to_string(time));
  }
  void AddReportSection(const std::string& label, const std::string& value) override {
    std::lock_guard<std::mutex> lock(mutex);
    journal.push_back("section " + label + "=" + value);
  }
  void CollectReportStep(int bit) override {
    std::lock_guard<std::mutex> lock(mutex);
    journal.push_back("step " + std::to_string(bit));
  }
  void SendReport(int timeout_ms) override {
    std::lock_guard<std::mutex> lock(mutex);
    journal.push_back("send " + std::to_string(timeout_ms));
  }
  std::vector<std::string> Journal() {
    std::lock_guard<std::mutex> lock(mutex);
    return journal;
  }

  std::atomic<float> upload_rate{0}, download_rate{0};
  std::atomic<std::int64_t> start_time{0};
  std::atomic<double> recent_rate{0};
  std::atomic<std::uint32_t> recent_samples{0};
  std::mutex mutex;
  std::vector<std::string> journal;
};

class StubMonitor : public StubService<IMonitorService> {
 public:
  void ShowP2P() override { ++p2p_views; }
  void ShowFileBlock() override { ++block_views; }
  std::atomic<int> p2p_views{0}, block_views{0};
};

}  // namespace zelt::test
