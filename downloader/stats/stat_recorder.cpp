#include "downloader/stats/stat_recorder.h"

#include <cinttypes>
#include <cstdio>

#include "downloader/framework/log.h"
#include "downloader/framework/service_lookup.h"
#include "downloader/p2p/p2p_client.h"
#include "downloader/services/config_service.h"
#include "platform/clock.h"

namespace zelt {
namespace {

using framework::kPhaseDone;
using framework::kPhaseFailed;
using framework::kPhaseNotYet;

constexpr const char* kModule = StatRecorder::kModule;
constexpr std::int32_t kStallReportMask = 15;
constexpr std::int32_t kServerReportMask = 8;

std::string Number(std::uint64_t v) { return std::to_string(v); }

}  // namespace

const char* RunStateWord(std::int32_t state) {
  switch (state) {
    case kRunBegin: return "Begin";
    case kRunContinue: return "Continue";
    case kRunComplete: return "Complete";
    case kRunCancel: return "Cancel";
    case kRunFinish: return "Finish";
    case kRunFail: return "Fail";
    case kRunRestart: return "Restart";
    default: return "Unknown";
  }
}

StatRecorder::StatRecorder(TickSource tick, WallClock wall) : tick_(std::move(tick)), wall_(std::move(wall)) {
  if (!tick_) tick_ = [] { return platform::clock::TickCount(); };
  if (!wall_) wall_ = [] { return platform::clock::UnixSeconds(); };
}

int StatRecorder::Init() {
  ZLOG(log::kInfo, kModule, "StatRecorder::Init");
  return kPhaseDone;
}

int StatRecorder::Start() {
  if (int r = framework::WaitForAll(
          *driver_, {kConfigServiceName, kNetworkServiceName, kFileSystemServiceName, kP2PClientServiceName});
      r != kPhaseDone) {
    return r;
  }
  ZLOG(log::kInfo, kModule, "StatRecorder::Start");
  config_ = registry_->Find<ConfigService>(kConfigServiceName);
  file_system_ = registry_->Find<IFileSystemService>(kFileSystemServiceName);
  client_ = registry_->Find<P2PClient>(kP2PClientServiceName);
  if (config_ == nullptr || file_system_ == nullptr || client_ == nullptr) return kPhaseFailed;
  IFileSystemService::ByteCounters c = file_system_->Counters();
  begin_state_ = c.complete == 0 && c.total != 0 ? kRunBegin : c.complete == c.total ? kRunComplete : kRunContinue;
  start_time_ = wall_();
  last_progress_ = start_time_;
  last_http_bytes_ = client_->HttpDownloadBytes();
  return kPhaseDone;
}

int StatRecorder::Run() {
  const std::uint32_t now = tick_();
  if (has_tick_ && now - last_tick_ < kStatIntervalMs) return kPhaseNotYet;
  const std::uint32_t elapsed = has_tick_ ? now - last_tick_ : kStatIntervalMs;
  has_tick_ = true;
  last_tick_ = now;
  Measure(elapsed);
  CheckCompletion();
  return kPhaseNotYet;
}

void StatRecorder::Measure(std::uint32_t elapsed_ms) {
  const std::uint64_t http = client_->HttpDownloadBytes();
  const std::uint64_t delta = http >= last_http_bytes_ ? http - last_http_bytes_ : 0;
  last_http_bytes_ = http;
  const float http_kbs = static_cast<float>(static_cast<double>(delta) * 1000.0 /
                                            static_cast<double>(elapsed_ms ? elapsed_ms : 1) / 1024.0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    http_kbs_ = http_kbs;
    download_kbs_ = http_kbs;  // plus peers, who deliver nothing yet
    upload_kbs_ = 0;
    history_.push_back(download_kbs_);
    while (history_.size() > kStatHistorySeconds) history_.pop_front();
  }
  const std::int64_t wall = wall_();
  if (config_->State() != kDownloadCompleted) {
    if (http_kbs > 0) last_progress_ = wall;
    if (!stall_reported_ && wall - last_progress_ >= kStallSeconds) {
      stall_reported_ = true;
      ZLOG(log::kWarning, kModule, "StatRecorder no progress for %" PRId64 "s",
           static_cast<std::int64_t>(wall - last_progress_));
      if (config_->Flag(ConfigInt::kReportEnable)) {
        std::int32_t mask = config_->Get(ConfigInt::kReportMask);
        BuildReport(mask == -1 ? kStallReportMask : mask);
        SendReport(0);
      }
    }
  }
}

void StatRecorder::CheckCompletion() {
  IFileSystemService::ByteCounters c = file_system_->Counters();
  if (c.complete != c.total || config_->State() != kDownloading) return;
  if (config_->Flag(ConfigInt::kDeleteDownloadInfo) && client_->store() != nullptr) {
    client_->store()->DeleteDownloadInfo();
  }
  config_->SetState(kDownloadCompleted);
  end_state_ = kRunFinish;
  end_time_ = wall_();
  ReportServer();
}

int StatRecorder::Stop() {
  ZLOG(log::kInfo, kModule, "StatRecorder::Stop");
  if (config_ != nullptr && client_ != nullptr) ReportServer();
  return kPhaseDone;
}

int StatRecorder::Release() {
  ZLOG(log::kInfo, kModule, "StatRecorder::Release");
  return kPhaseDone;
}

void StatRecorder::ReportServer() {
  ZLOG(log::kInfo, kModule, "StatRecorder::ReportServer begin");
  ReportDownloadStat();
  ZLOG(log::kInfo, kModule, "StatRecorder::ReportServer 1");
  if (config_->Flag(ConfigInt::kReportEnable) && !server_reported_) {
    std::int32_t mask = config_->Get(ConfigInt::kReportMask);
    BuildReport(mask == -1 ? kServerReportMask : mask);
    ZLOG(log::kInfo, kModule, "StatRecorder::ReportServer 2");
    SendReport(0);
    server_reported_ = true;
    ZLOG(log::kInfo, kModule, "StatRecorder::ReportServer 3");
  }
  ZLOG(log::kInfo, kModule, "StatRecorder::ReportServer end");
}

void StatRecorder::ReportDownloadStat() {
  if (stat_sent_) return;
  stat_sent_ = true;
  if (end_state_ == kRunUnset) end_state_ = kRunFail;
  if (end_state_ != kRunFinish) end_time_ = wall_();
  const std::uint64_t http = client_->HttpDownloadBytes();
  const std::uint64_t peers = client_->PeerDownloadBytes();
  const std::int64_t spent = end_time_ > start_time_ ? end_time_ - start_time_ : 0;
  const std::uint64_t total = http + peers;
  const std::uint64_t speed = spent > 0 ? total / static_cast<std::uint64_t>(spent) / 1024 : 0;
  // No statistics endpoint or tracker is configured for this build: the
  // summary goes to the log only.
  ZLOG(log::kNotice, kModule,
       "ReportDownloadStat:\np2p=%" PRIu64 "\nhttp=%" PRIu64 "\ntotal=%" PRIu64 "\nspeed=%" PRIu64
       "kb/s\ntime spended=%" PRId64 "s\nbeginstate=%s endstate=%s\n",
       peers, http, total, speed, spent, RunStateWord(begin_state_), RunStateWord(end_state_));
  std::uint32_t i = 0;
  for (const std::string& host : client_->servers().MostUsedHosts(8)) {
    ZLOG(log::kNotice, kModule, "http%u=%s", i++, host.c_str());
  }
}

void StatRecorder::SetEnd(std::int32_t reason, std::int64_t end_time) {
  end_state_ = reason;
  end_time_ = end_time;
}

float StatRecorder::UploadRate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return upload_kbs_;
}

float StatRecorder::DownloadRate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return download_kbs_;
}

double StatRecorder::RecentAverageRate(std::uint32_t& samples) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t n = std::min(history_.size(), kStatRecentSamples);
  samples = static_cast<std::uint32_t>(n);
  if (n == 0) return 0.0;
  double sum = 0;
  for (std::size_t i = history_.size() - n; i < history_.size(); ++i) sum += history_[i];
  return sum / static_cast<double>(n);
}

std::vector<float> StatRecorder::AverageSpeeds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<float> out;
  for (std::size_t span = 20; span <= kStatHistorySeconds; span += 20) {
    if (history_.size() < span) {
      out.push_back(-1.0f);
      continue;
    }
    double sum = 0;
    for (std::size_t i = history_.size() - span; i < history_.size(); ++i) sum += history_[i];
    out.push_back(static_cast<float>(sum / static_cast<double>(span)));
  }
  return out;
}

void StatRecorder::AddReportSection(const std::string& label, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (report_.size() >= kMaxReportEntries && report_.find(label) == report_.end()) return;
  report_[label] = value.substr(0, kMaxReportValueBytes);
}

void StatRecorder::CollectReportStep(int bit) {
  if (config_ == nullptr || client_ == nullptr) return;
  if (bit == 2) {
    AddReportSection("下载器版本", Number(static_cast<std::uint64_t>(config_->version())));
    AddReportSection("HTTP下载线程数", std::to_string(config_->Get(ConfigInt::kHttpDownloadThreadNum)));
    AddReportSection("下载速度限制(byte/s)", std::to_string(config_->Get(ConfigInt::kDownloadBandLimitSecond)));
    AddReportSection("上传速度限制(byte/s)", std::to_string(config_->Get(ConfigInt::kUploadBandLimitSecond)));
    AddReportSection("当前下载状态", std::to_string(config_->State()));
    std::string cdn;
    for (const CdnEntry& e : config_->cdn_list()) cdn += e.url + "<" + std::to_string(e.factor) + "> ";
    AddReportSection("CDN列表", cdn);
    std::string http;
    for (const std::string& u : config_->http_list()) http += u + " ";
    AddReportSection("HTTP列表", http);
  } else if (bit == 3) {
    std::uint32_t requests = 0;
    for (const CdnServer& s : client_->servers().Snapshot()) requests += s.requestCount;
    AddReportSection("用户ID", std::to_string(client_->UserId()));
    AddReportSection("P2P下载量(bytes)", Number(client_->PeerDownloadBytes()));
    AddReportSection("HTTP下载量(bytes)", Number(client_->HttpDownloadBytes()));
    AddReportSection("CDN请求次数", Number(requests));
    AddReportSection("从开启下载器经过的时间(s)", Number(static_cast<std::uint64_t>(wall_() - start_time_)));
    AddReportSection("当前活动HTTP线程数", Number(client_->ActiveHttpThreads()));
    std::string speeds;
    char item[32];
    for (float v : AverageSpeeds()) {
      std::snprintf(item, sizeof item, "%.2f ", static_cast<double>(v));
      speeds += item;
    }
    AddReportSection("最后200s, 每间隔20s的速度记录", speeds);
  }
}

void StatRecorder::BuildReport(std::int32_t mask) {
  if ((mask & 1) && file_system_ != nullptr) AddReportSection("文件块状态", file_system_->BlockStatusText());
  if (mask & 2) {
    std::string names;
    for (std::int32_t s : config_->StateHistory()) names += std::string(DownloadStateName(s)) + " ";
    AddReportSection("状态切换过程", names);
  }
  if (mask & 4) CollectReportStep(2);
  if (mask & 8) CollectReportStep(3);
}

std::string StatRecorder::ReportText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto& [label, value] : report_) text += "[" + label + "]\n" + value + "\n";
  return text;
}

void StatRecorder::SendReport(int timeout_ms) {
  // The report endpoint is not configured in this build; the text is kept
  // in the log where a person can read it.
  std::string text = ReportText();
  ZLOG(log::kInfo, kModule, "StatRecorder report (%d ms, not sent):\n%s", timeout_ms, text.c_str());
}

}  // namespace zelt
