#include "downloader/services/p2p_service.h"

#include <algorithm>
#include <cinttypes>

#include "downloader/framework/log.h"
#include "downloader/services/command_words.h"
#include "downloader/services/shell_info.h"
#include "platform/clock.h"

namespace zelt {
namespace {

using framework::kPhaseDone;
using framework::kPhaseFailed;
using framework::kPhaseNotYet;
using framework::kStateRunFinished;
using framework::kStateStarted;

constexpr const char* kModule = P2PService::kModule;
constexpr std::int32_t kEndReasonQuit = 3;
constexpr std::int32_t kEndReasonRestart = 6;
constexpr int kReportTimeoutMs = 5000;

}  // namespace

int AnswerPowerBroadcast(unsigned event) {
  return event == kPowerQuerySuspend ? kBroadcastQueryDeny : 0;
}

P2PService::P2PService() : clock_([] { return platform::clock::UnixSeconds(); }) {}

P2PService::~P2PService() {
  running_ = false;
  if (window_thread_.joinable()) window_thread_.join();
}

int P2PService::Init() {
  ZLOG(log::kInfo, kModule, "P2PService::Init");
  return kPhaseDone;
}

int P2PService::Start() {
  for (const char* name : {kConfigServiceName, kNetworkServiceName, kStatRecorderServiceName,
                           kP2PClientServiceName}) {
    int r = driver_->WaitFor(name, kStateStarted);
    if (r == kPhaseNotYet) return kPhaseNotYet;
    if (r != kPhaseDone) return kPhaseFailed;
  }
  ZLOG(log::kInfo, kModule, "P2PService::Start");
  config_ = registry_->Find<ConfigService>(kConfigServiceName);
  network_ = registry_->Find<INetworkService>(kNetworkServiceName);
  client_ = registry_->Find<IP2PClientService>(kP2PClientServiceName);
  file_system_ = registry_->Find<IFileSystemService>(kFileSystemServiceName);
  stats_ = registry_->Find<IStatRecorderService>(kStatRecorderServiceName);
  if (config_ == nullptr) return kPhaseFailed;
  running_ = true;
  window_thread_ = std::thread([this] { WindowThread(); });
  return kPhaseDone;
}

int P2PService::Run() {
  if (channel_ == nullptr) return kPhaseNotYet;
  std::string line;
  for (int i = 0; i < kMaxCommandsPerCycle && channel_->ReadLine(line); ++i) {
    if (!HandleCommand(line)) return kPhaseDone;
  }
  return kPhaseNotYet;
}

int P2PService::Stop() {
  ZLOG(log::kInfo, kModule, "P2PService::Stop");
  config_->SetState(kToQuit);
  ZLOG(log::kNotice, kModule, "正在退出程序");
  running_ = false;
  if (window_thread_.joinable()) window_thread_.join();
  config_->SetState(kQuit);
  ZLOG(log::kNotice, kModule, "程序正常退出");
  return kPhaseDone;
}

int P2PService::Release() {
  ZLOG(log::kInfo, kModule, "P2PService::Release");
  return kPhaseDone;
}

void P2PService::Free() {
  ZLOG(log::kInfo, kModule, "P2PService::Free");
  delete this;
}

std::future<int> P2PService::PostPowerEvent(unsigned event) {
  PowerEvent item{event, {}};
  std::future<int> answer = item.answer.get_future();
  std::lock_guard<std::mutex> lock(power_mutex_);
  if (!running_) {
    item.answer.set_value(0);
  } else {
    power_events_.push_back(std::move(item));
  }
  return answer;
}

void P2PService::WindowThread() {
  while (running_) {
    std::deque<PowerEvent> events;
    {
      std::lock_guard<std::mutex> lock(power_mutex_);
      events.swap(power_events_);
    }
    if (events.empty()) {
      platform::clock::SleepMs(kWindowIdleMs);
      continue;
    }
    for (PowerEvent& e : events) e.answer.set_value(AnswerPowerBroadcast(e.event));
  }
  // Events that arrive after the end get the default answer.
  std::lock_guard<std::mutex> lock(power_mutex_);
  for (PowerEvent& e : power_events_) e.answer.set_value(0);
  power_events_.clear();
}

P2PService::Percentages P2PService::ComputePercentages() const {
  Percentages p;
  IFileSystemService::ByteCounters c;
  if (file_system_ != nullptr) c = file_system_->Counters();
  auto ratio = [](std::uint64_t part, std::uint64_t whole) {
    if (part == whole) return 100.0;
    if (whole == 0) return 0.0;
    return static_cast<double>(part) / static_cast<double>(whole) * 100.0;
  };
  p.complete = ratio(c.complete, c.total);
  p.downloaded = ratio(c.received, c.total);
  if (c.total == c.complete_at_start) {
    p.this_run = 100.0;
  } else {
    p.this_run = (static_cast<double>(c.received) - static_cast<double>(c.complete_at_start)) /
                 (static_cast<double>(c.total) - static_cast<double>(c.complete_at_start)) * 100.0;
  }
  return p;
}

bool P2PService::HandleCommand(const std::string& line) {
  ZLOG(log::kTrace, kModule, "ShellInfo in=%s", line.c_str());
  CommandWords words(line);
  const std::string command = words.Word();
  if (command == "quit") {
    ZLOG(log::kNotice, kModule, "CMD_QUIT");
    if (stats_ != nullptr) stats_->SetEnd(kEndReasonQuit, clock_());
    driver_->Stop();
    ZLOG(log::kNotice, kModule, "m_driver->Stop()");
    return false;
  }
  if (command == "restart") {
    ZLOG(log::kNotice, kModule, "CMD_RESTART");
    if (stats_ != nullptr) stats_->SetEnd(kEndReasonRestart, clock_());
    if (config_->Flag(ConfigInt::kReportEnable)) SendDiagnosticReport();
    return false;
  }
  if (command == "stat") {
    Stat();
  } else if (command == "set") {
    config_->DisablePeriodicReload();
    SetCommand(words);
  } else if (command == "get") {
    GetCommand(words);
  } else if (command == "setquicklevel") {
    SetQuickLevel(words);
  } else if (command == "setpriority") {
    SetPriority(words);
  } else if (auto* monitor = registry_->Find<IMonitorService>(kMonitorServiceName)) {
    if (command == "showp2p") monitor->ShowP2P();
    else if (command == "showfileblock") monitor->ShowFileBlock();
  }
  return true;
}

void P2PService::Stat() {
  Percentages p = ComputePercentages();
  IFileSystemService::ByteCounters c;
  if (file_system_ != nullptr) c = file_system_->Counters();
  std::int32_t peers = client_ != nullptr ? client_->PeerCount() : 0;
  Interactive("UserId=%d", client_ != nullptr ? client_->UserId() : 0);
  Interactive("P2PState=%d", config_->State());
  Interactive("Percentage=%f", p.complete);
  Interactive("PercentageDownloaded=%f", p.downloaded);
  Interactive("CurUpdatePercentage=%f", p.this_run);
  Interactive("IncompleteByte=%" PRIu64, c.total > c.complete ? c.total - c.complete : 0);
  Interactive("UploadBandWidth=%f", stats_ != nullptr ? static_cast<double>(stats_->UploadRate()) : 0.0);
  Interactive("DownloadBandWidth=%f", stats_ != nullptr ? static_cast<double>(stats_->DownloadRate()) : 0.0);
  Interactive("UploadUserNum=%d", peers);
  Interactive("DownloadUserNum=%d", peers);
  Interactive("ConnectNum=%d", peers);
}

void P2PService::SetCommand(CommandWords& words) {
  const std::string key = words.Word();
  if (key == "ubl") {
    std::uint32_t n = std::clamp<std::uint32_t>(words.Unsigned(131072), 3, 1048576);
    config_->Set(ConfigInt::kUploadBandLimitSecond, static_cast<std::int32_t>(n * 1024));
    if (client_ != nullptr) client_->SetUploadBandLimit(n * 1024);
  } else if (key == "dbl") {
    std::uint32_t n = std::clamp<std::uint32_t>(words.Unsigned(262144), 10, 1048576);
    config_->Set(ConfigInt::kDownloadBandLimitSecond, static_cast<std::int32_t>(n * 1024));
  } else if (key == "muc") {
    std::int32_t n = std::max(words.Signed(20), 0);
    std::int64_t room = static_cast<std::int64_t>(config_->Get(ConfigInt::kMaxNetworkConnNum)) -
                        config_->Get(ConfigInt::kMaxDownloadConnNum);
    n = static_cast<std::int32_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, room)));
    config_->Set(ConfigInt::kMaxUploadConnNum, n);
  } else if (key == "mdc") {
    std::int32_t n = std::max(words.Signed(256), 0);
    std::int64_t room = static_cast<std::int64_t>(config_->Get(ConfigInt::kMaxNetworkConnNum)) -
                        config_->Get(ConfigInt::kMaxUploadConnNum);
    n = static_cast<std::int32_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, room)));
    config_->Set(ConfigInt::kMaxDownloadConnNum, n);
    if (client_ != nullptr) client_->SetMaxDownloadConnNum(n);
  } else if (key == "oil") {
    std::int32_t n = words.Signed(OutputLevel());
    if (n >= 0 && n <= kMaxOutputLevel) SetOutputLevel(n);
  } else if (key == "httpdtn") {
    std::int32_t n = words.Signed(config_->Get(ConfigInt::kHttpDownloadThreadNum));
    if (n >= 0 && n <= kMaxSetHttpThreads) {
      if (client_ != nullptr) client_->SetHttpDownloadThreadNum(n);
      config_->Set(ConfigInt::kHttpDownloadThreadNum, n);
    }
  }
}

void P2PService::GetCommand(CommandWords& words) {
  const std::string key = words.Word();
  auto counters = [this] {
    return file_system_ != nullptr ? file_system_->Counters() : IFileSystemService::ByteCounters{};
  };
  auto peers = [this] { return client_ != nullptr ? client_->PeerCount() : 0; };
  if (key == "ubl") {
    Interactive("MaxUploadBandWidth=%u",
                static_cast<std::uint32_t>(config_->Get(ConfigInt::kUploadBandLimitSecond)) / 1024);
  } else if (key == "dbl") {
    Interactive("MaxDownloadBandWidth=%u",
                static_cast<std::uint32_t>(config_->Get(ConfigInt::kDownloadBandLimitSecond)) / 1024);
  } else if (key == "muc") {
    Interactive("MaxUploadNum=%d", config_->Get(ConfigInt::kMaxUploadConnNum));
  } else if (key == "mdc") {
    Interactive("MaxDownloadNum=%d", config_->Get(ConfigInt::kMaxDownloadConnNum));
  } else if (key == "cub") {
    Interactive("UploadBandWidth=%f", stats_ != nullptr ? static_cast<double>(stats_->UploadRate()) : 0.0);
  } else if (key == "cdb") {
    Interactive("DownloadBandWidth=%f", stats_ != nullptr ? static_cast<double>(stats_->DownloadRate()) : 0.0);
  } else if (key == "pct") {
    Percentages p = ComputePercentages();
    Interactive("PercentageDownloaded=%f", p.downloaded);
    Interactive("Percentage=%f", p.complete);
    Interactive("CurUpdatePercentage=%f", p.this_run);
  } else if (key == "tb") {
    Interactive("TotalByte=%" PRIu64, counters().total);
  } else if (key == "icb") {
    auto c = counters();
    Interactive("IncompleteByte=%" PRIu64, c.total > c.complete ? c.total - c.complete : 0);
  } else if (key == "p2ps") {
    Interactive("P2PState=%d", config_->State());
  } else if (key == "cuun") {
    Interactive("UploadUserNum=%d", peers());
  } else if (key == "cdun") {
    Interactive("DownloadUserNum=%d", peers());
  } else if (key == "ccn") {
    Interactive("ConnectNum=%d", peers());
  } else if (key == "uid") {
    Interactive("UserId=%d", client_ != nullptr ? client_->UserId() : 0);
  } else if (key == "state") {
    ConfigService::InfoFilePaths paths = config_->info_file_paths();
    Interactive("TcpListenPort=%d", config_->tcp_listen_port());
    Interactive("UdpProt=%d", config_->udp_port());
    Interactive("MainServerIp=%s", config_->main_server_ip().c_str());
    Interactive("MainServerPort=%d", config_->main_server_port());
    Interactive("CurrentDir=%s", config_->current_dir().c_str());
    Interactive("SeedFilePath=%s", paths.seed.c_str());
    Interactive("SeedFilePathPast=%s", paths.seed_past.c_str());
    Interactive("DownloadInfoDataFilePath=%s", paths.download_info.c_str());
    Interactive("UploadThreadNum=%d", config_->Get(ConfigInt::kUploadThreadNum));
    Interactive("MaxWaitTask=%d", config_->Get(ConfigInt::kMaxWaitTask));
    Interactive("HttpDownloadThreadNum=%d", config_->Get(ConfigInt::kHttpDownloadThreadNum));
  } else if (key == "oil") {
    Interactive("P2PLogLevel=%d", OutputLevel());
  } else if (key == "qf") {
    std::uint32_t index = words.Unsigned(0);
    std::string name;
    if (file_system_ == nullptr || !file_system_->FileName(index, name)) name = ":";
    Interactive("FileName=%s", name.c_str());
  } else if (key == "version") {
    Interactive("version=%d", config_->version());
  } else if (key == "ave") {
    std::uint64_t average = 0;
    std::uint64_t recent = 0;
    std::uint32_t samples = 0;
    if (stats_ != nullptr) {
      auto c = counters();
      std::int64_t seconds = clock_() - stats_->StartTime();
      if (seconds > 0 && c.received > c.complete_at_start) {
        average = (c.received - c.complete_at_start) / static_cast<std::uint64_t>(seconds);
      }
      double rate = stats_->RecentAverageRate(samples);
      if (rate > 0) recent = static_cast<std::uint64_t>(rate * 1024.0);
    }
    Interactive("AverageSpeed=%" PRIu64 "(A),%" PRIu64 "(L%u)", average, recent, samples);
  } else if (key == "cdbs") {
    std::uint64_t bytes = client_ != nullptr ? client_->HttpDownloadBytes() + client_->PeerDownloadBytes() : 0;
    Interactive("CurrentDownloadBytes=%" PRIu64, bytes);
  } else if (key == "cp2pdbs") {
    Interactive("CurrentP2pDownloadBytes=%" PRIu64, client_ != nullptr ? client_->PeerDownloadBytes() : 0);
  }
}

void P2PService::SetQuickLevel(CommandWords& words) {
  std::uint32_t level = words.Unsigned(0);
  ZLOG(log::kInfo, kModule, "SetQuickLevel: %d", static_cast<int>(level));
  if (file_system_ != nullptr && driver_->GetState(kFileSystemServiceName) == kStateRunFinished) {
    file_system_->SetQuickLevel(level);
    Interactive("%s", level != 0 ? "succeeded" : "failed");
  } else {
    ZLOG(log::kError, kModule, "downloader does not start.");
    Interactive("%s", "failed");
  }
}

void P2PService::SetPriority(CommandWords& words) {
  std::string file = words.Word();
  std::uint32_t start = words.Unsigned(0);
  std::uint32_t length = words.Unsigned(0);
  std::uint32_t level = words.Unsigned(0);
  ZLOG(log::kInfo, kModule, "SetPriority: %s %u %u %u", file.c_str(), start, length, level);
  if (file_system_ != nullptr && driver_->GetState(kFileSystemServiceName) == kStateRunFinished) {
    Interactive("%s", file_system_->SetPriority(file, start, length, level) ? "succeeded" : "failed");
  } else {
    ZLOG(log::kError, kModule, "downloader does not start.");
    Interactive("%s", "failed");
  }
}

void P2PService::SendDiagnosticReport() {
  if (stats_ == nullptr) return;
  std::int32_t mask = config_->Get(ConfigInt::kReportMask);
  if (mask == -1) mask = 15;
  if (mask & 1) {
    stats_->AddReportSection("文件块状态",
                             file_system_ != nullptr ? file_system_->BlockStatusText() : std::string());
  }
  if (mask & 2) {
    std::string history;
    for (std::int32_t state : config_->StateHistory()) {
      history += DownloadStateName(state);
      history += ' ';
    }
    stats_->AddReportSection("状态切换过程", history);
  }
  if (mask & 4) stats_->CollectReportStep(2);
  if (mask & 8) stats_->CollectReportStep(3);
  stats_->SendReport(kReportTimeoutMs);
}

}  // namespace zelt
