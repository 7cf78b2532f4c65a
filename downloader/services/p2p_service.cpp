#include "downloader/services/p2p_service.h"

#include <algorithm>
#include <cinttypes>

#include "downloader/framework/log.h"
#include "downloader/services/command_words.h"
#include "downloader/services/shell_info.h"
#include "shared/protocol/protocol.h"
#include "platform/clock.h"

namespace zelt {
namespace {

namespace proto = kestra::protocol;

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
  if (int r = framework::WaitForAll(*driver_, {kConfigServiceName, kNetworkServiceName,
                                               kStatRecorderServiceName, kP2PClientServiceName});
      r != kPhaseDone) {
    return r;
  }
  ZLOG(log::kInfo, kModule, "P2PService::Start");
  // The peer client waits for the file system, so it is there as well.
  int r = framework::ServiceLookup(registry_, kModule)
              .Require(config_, kConfigServiceName)
              .Require(network_, kNetworkServiceName)
              .Require(client_, kP2PClientServiceName)
              .Require(file_system_, kFileSystemServiceName)
              .Require(stats_, kStatRecorderServiceName)
              .Optional(monitor_, kMonitorServiceName)
              .Result();
  if (r != kPhaseDone) return r;
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
  IFileSystemService::ByteCounters c = file_system_->Counters();
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
  if (command == proto::kCmdQuit) {
    ZLOG(log::kNotice, kModule, "CMD_QUIT");
    stats_->SetEnd(kEndReasonQuit, clock_());
    driver_->Stop();
    ZLOG(log::kNotice, kModule, "m_driver->Stop()");
    return false;
  }
  if (command == proto::kCmdRestart) {
    ZLOG(log::kNotice, kModule, "CMD_RESTART");
    stats_->SetEnd(kEndReasonRestart, clock_());
    if (config_->Flag(ConfigInt::kReportEnable)) SendDiagnosticReport();
    return false;
  }
  if (command == proto::kCmdStat) {
    Stat();
  } else if (command == proto::kCmdSet) {
    config_->DisablePeriodicReload();
    SetCommand(words);
  } else if (command == proto::kCmdGet) {
    GetCommand(words);
  } else if (command == proto::kCmdSetQuickLevel) {
    SetQuickLevel(words);
  } else if (command == proto::kCmdSetPriority) {
    SetPriority(words);
  } else if (monitor_ != nullptr) {
    if (command == proto::kCmdShowP2P) monitor_->ShowP2P();
    else if (command == proto::kCmdShowFileBlock) monitor_->ShowFileBlock();
  }
  return true;
}

void P2PService::Stat() {
  Percentages p = ComputePercentages();
  IFileSystemService::ByteCounters c = file_system_->Counters();
  std::int32_t peers = client_->PeerCount();
  InteractiveValue(proto::kKeyUserId, "%d", client_->UserId());
  InteractiveValue(proto::kKeyP2PState, "%d", config_->State());
  InteractiveValue(proto::kKeyPercentage, "%f", p.complete);
  InteractiveValue(proto::kKeyPercentageDownloaded, "%f", p.downloaded);
  InteractiveValue(proto::kKeyCurUpdatePercentage, "%f", p.this_run);
  InteractiveValue(proto::kKeyIncompleteByte, "%" PRIu64, c.total > c.complete ? c.total - c.complete : 0);
  InteractiveValue(proto::kKeyUploadBandWidth, "%f", static_cast<double>(stats_->UploadRate()));
  InteractiveValue(proto::kKeyDownloadBandWidth, "%f", static_cast<double>(stats_->DownloadRate()));
  InteractiveValue(proto::kKeyUploadUserNum, "%d", peers);
  InteractiveValue(proto::kKeyDownloadUserNum, "%d", peers);
  InteractiveValue(proto::kKeyConnectNum, "%d", peers);
}

void P2PService::SetCommand(CommandWords& words) {
  const std::string key = words.Word();
  if (key == proto::kSelUploadLimit) {
    std::uint32_t n = std::clamp<std::uint32_t>(words.Unsigned(131072), 3, 1048576);
    config_->Set(ConfigInt::kUploadBandLimitSecond, static_cast<std::int32_t>(n * 1024));
    client_->SetUploadBandLimit(n * 1024);
  } else if (key == proto::kSelDownloadLimit) {
    std::uint32_t n = std::clamp<std::uint32_t>(words.Unsigned(262144), 10, 1048576);
    config_->Set(ConfigInt::kDownloadBandLimitSecond, static_cast<std::int32_t>(n * 1024));
  } else if (key == proto::kSelMaxUploadConn) {
    std::int32_t n = std::max(words.Signed(20), 0);
    std::int64_t room = static_cast<std::int64_t>(config_->Get(ConfigInt::kMaxNetworkConnNum)) -
                        config_->Get(ConfigInt::kMaxDownloadConnNum);
    n = static_cast<std::int32_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, room)));
    config_->Set(ConfigInt::kMaxUploadConnNum, n);
  } else if (key == proto::kSelMaxDownloadConn) {
    std::int32_t n = std::max(words.Signed(256), 0);
    std::int64_t room = static_cast<std::int64_t>(config_->Get(ConfigInt::kMaxNetworkConnNum)) -
                        config_->Get(ConfigInt::kMaxUploadConnNum);
    n = static_cast<std::int32_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, room)));
    config_->Set(ConfigInt::kMaxDownloadConnNum, n);
    client_->SetMaxDownloadConnNum(n);
  } else if (key == proto::kSelOutputLevel) {
    std::int32_t n = words.Signed(OutputLevel());
    if (n >= 0 && n <= kMaxOutputLevel) SetOutputLevel(n);
  } else if (key == proto::kSelHttpThreads) {
    std::int32_t n = words.Signed(config_->Get(ConfigInt::kHttpDownloadThreadNum));
    if (n >= 0 && n <= kMaxSetHttpThreads) {
      client_->SetHttpDownloadThreadNum(n);
      config_->Set(ConfigInt::kHttpDownloadThreadNum, n);
    }
  }
}

void P2PService::GetCommand(CommandWords& words) {
  const std::string key = words.Word();
  auto counters = [this] { return file_system_->Counters(); };
  auto peers = [this] { return client_->PeerCount(); };
  if (key == proto::kSelUploadLimit) {
    InteractiveValue(proto::kKeyMaxUploadBandWidth, "%u",
                static_cast<std::uint32_t>(config_->Get(ConfigInt::kUploadBandLimitSecond)) / 1024);
  } else if (key == proto::kSelDownloadLimit) {
    InteractiveValue(proto::kKeyMaxDownloadBandWidth, "%u",
                static_cast<std::uint32_t>(config_->Get(ConfigInt::kDownloadBandLimitSecond)) / 1024);
  } else if (key == proto::kSelMaxUploadConn) {
    InteractiveValue(proto::kKeyMaxUploadNum, "%d", config_->Get(ConfigInt::kMaxUploadConnNum));
  } else if (key == proto::kSelMaxDownloadConn) {
    InteractiveValue(proto::kKeyMaxDownloadNum, "%d", config_->Get(ConfigInt::kMaxDownloadConnNum));
  } else if (key == proto::kSelCurrentUpload) {
    InteractiveValue(proto::kKeyUploadBandWidth, "%f", static_cast<double>(stats_->UploadRate()));
  } else if (key == proto::kSelCurrentDownload) {
    InteractiveValue(proto::kKeyDownloadBandWidth, "%f", static_cast<double>(stats_->DownloadRate()));
  } else if (key == proto::kSelPercentages) {
    Percentages p = ComputePercentages();
    InteractiveValue(proto::kKeyPercentageDownloaded, "%f", p.downloaded);
    InteractiveValue(proto::kKeyPercentage, "%f", p.complete);
    InteractiveValue(proto::kKeyCurUpdatePercentage, "%f", p.this_run);
  } else if (key == proto::kSelTotalBytes) {
    InteractiveValue(proto::kKeyTotalByte, "%" PRIu64, counters().total);
  } else if (key == proto::kSelIncompleteBytes) {
    auto c = counters();
    InteractiveValue(proto::kKeyIncompleteByte, "%" PRIu64, c.total > c.complete ? c.total - c.complete : 0);
  } else if (key == proto::kSelState) {
    InteractiveValue(proto::kKeyP2PState, "%d", config_->State());
  } else if (key == proto::kSelUploadUsers) {
    InteractiveValue(proto::kKeyUploadUserNum, "%d", peers());
  } else if (key == proto::kSelDownloadUsers) {
    InteractiveValue(proto::kKeyDownloadUserNum, "%d", peers());
  } else if (key == proto::kSelConnections) {
    InteractiveValue(proto::kKeyConnectNum, "%d", peers());
  } else if (key == proto::kSelUserId) {
    InteractiveValue(proto::kKeyUserId, "%d", client_->UserId());
  } else if (key == proto::kSelConfigDump) {
    ConfigService::InfoFilePaths paths = config_->info_file_paths();
    InteractiveValue(proto::kKeyTcpListenPort, "%d", config_->tcp_listen_port());
    InteractiveValue(proto::kKeyUdpPort, "%d", config_->udp_port());
    InteractiveValue(proto::kKeyMainServerIp, "%s", config_->main_server_ip().c_str());
    InteractiveValue(proto::kKeyMainServerPort, "%d", config_->main_server_port());
    InteractiveValue(proto::kKeyCurrentDir, "%s", config_->current_dir().c_str());
    InteractiveValue(proto::kKeySeedFilePath, "%s", paths.seed.c_str());
    InteractiveValue(proto::kKeySeedFilePathPast, "%s", paths.seed_past.c_str());
    InteractiveValue(proto::kKeyDownloadInfoDataFilePath, "%s", paths.download_info.c_str());
    InteractiveValue(proto::kKeyUploadThreadNum, "%d", config_->Get(ConfigInt::kUploadThreadNum));
    InteractiveValue(proto::kKeyMaxWaitTask, "%d", config_->Get(ConfigInt::kMaxWaitTask));
    InteractiveValue(proto::kKeyHttpDownloadThreadNum, "%d", config_->Get(ConfigInt::kHttpDownloadThreadNum));
  } else if (key == proto::kSelOutputLevel) {
    InteractiveValue(proto::kKeyP2PLogLevel, "%d", OutputLevel());
  } else if (key == proto::kSelFileName) {
    std::uint32_t index = words.Unsigned(0);
    std::string name;
    if (!file_system_->FileName(index, name)) name = proto::kNoFileName;
    InteractiveValue(proto::kKeyFileName, "%s", name.c_str());
  } else if (key == proto::kSelVersion) {
    InteractiveValue(proto::kKeyVersion, "%d", config_->version());
  } else if (key == proto::kSelAverageSpeed) {
    std::uint64_t average = 0;
    std::uint64_t recent = 0;
    std::uint32_t samples = 0;
    auto c = counters();
    std::int64_t seconds = clock_() - stats_->StartTime();
    if (seconds > 0 && c.received > c.complete_at_start) {
      average = (c.received - c.complete_at_start) / static_cast<std::uint64_t>(seconds);
    }
    double rate = stats_->RecentAverageRate(samples);
    if (rate > 0) recent = static_cast<std::uint64_t>(rate * 1024.0);
    InteractiveValue(proto::kKeyAverageSpeed, "%" PRIu64 "(A),%" PRIu64 "(L%u)", average, recent, samples);
  } else if (key == proto::kSelDownloadBytes) {
    std::uint64_t bytes = client_->HttpDownloadBytes() + client_->PeerDownloadBytes();
    InteractiveValue(proto::kKeyCurrentDownloadBytes, "%" PRIu64, bytes);
  } else if (key == proto::kSelP2pDownloadBytes) {
    InteractiveValue(proto::kKeyCurrentP2pDownloadBytes, "%" PRIu64, client_->PeerDownloadBytes());
  }
}

void P2PService::SetQuickLevel(CommandWords& words) {
  std::uint32_t level = words.Unsigned(0);
  ZLOG(log::kInfo, kModule, "SetQuickLevel: %d", static_cast<int>(level));
  if (driver_->GetState(kFileSystemServiceName) == kStateRunFinished) {
    file_system_->SetQuickLevel(level);
    Interactive("%s", level != 0 ? proto::kReplySucceeded : proto::kReplyFailed);
  } else {
    ZLOG(log::kError, kModule, "downloader does not start.");
    Interactive("%s", proto::kReplyFailed);
  }
}

void P2PService::SetPriority(CommandWords& words) {
  std::string file = words.Word();
  std::uint32_t start = words.Unsigned(0);
  std::uint32_t length = words.Unsigned(0);
  std::uint32_t level = words.Unsigned(0);
  ZLOG(log::kInfo, kModule, "SetPriority: %s %u %u %u", file.c_str(), start, length, level);
  if (driver_->GetState(kFileSystemServiceName) == kStateRunFinished) {
    Interactive("%s", file_system_->SetPriority(file, start, length, level) ? proto::kReplySucceeded
                                                                          : proto::kReplyFailed);
  } else {
    ZLOG(log::kError, kModule, "downloader does not start.");
    Interactive("%s", proto::kReplyFailed);
  }
}

void P2PService::SendDiagnosticReport() {
  std::int32_t mask = config_->Get(ConfigInt::kReportMask);
  if (mask == -1) mask = 15;
  if (mask & 1) {
    stats_->AddReportSection("文件块状态", file_system_->BlockStatusText());
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
