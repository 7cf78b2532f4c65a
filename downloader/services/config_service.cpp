#include "downloader/services/config_service.h"

#include <cctype>
#include <charconv>
#include <optional>

#include "downloader/framework/log.h"
#include "downloader/framework/service_lookup.h"
#include "downloader/services/shell_info.h"
#include "platform/clock.h"

namespace zelt {
namespace {

constexpr const char* kModule = "ConfigService";

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsTrimmed(s[b])) ++b;
  while (e > b && IsTrimmed(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// "%d": leading blanks, a sign, digits; the rest is ignored. Values beyond
// 32 bits are refused.
std::optional<std::int32_t> ScanInt(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i < s.size() && s[i] == '+') ++i;
  std::int32_t value = 0;
  auto [ptr, ec] = std::from_chars(s.data() + i, s.data() + s.size(), value);
  if (ec != std::errc()) return std::nullopt;
  return value;
}

std::vector<std::string> SplitBlanks(const std::string& s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size() && out.size() < kMaxListEntries) {
    // Line breaks separate too: an address must never carry one into a
    // request line.
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < s.size() && blank(s[i])) ++i;
    std::size_t start = i;
    while (i < s.size() && !blank(s[i])) ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

struct IntKey {
  const char* key;
  ConfigInt field;
};

constexpr IntKey kIntKeys[] = {
    {"MaxUploadConnNum", ConfigInt::kMaxUploadConnNum},
    {"MaxDownloadConnNum", ConfigInt::kMaxDownloadConnNum},
    {"MaxNetworkConnNum", ConfigInt::kMaxNetworkConnNum},
    {"EruptConnectNum", ConfigInt::kEruptConnectNum},
    {"MaxWaitTime", ConfigInt::kMaxWaitTime},
    {"MaxTryTime", ConfigInt::kMaxTryTime},
    {"GetPeerListIntervalSecond", ConfigInt::kGetPeerListIntervalSecond},
    {"StateReportIntervalPercent", ConfigInt::kStateReportIntervalPercent},
    {"CleanupPeerIntervalSecond", ConfigInt::kCleanupPeerIntervalSecond},
    {"UploadThreadNum", ConfigInt::kUploadThreadNum},
    {"MaxWaitTask", ConfigInt::kMaxWaitTask},
    {"HttpDownloadThreadNum", ConfigInt::kHttpDownloadThreadNum},
    {"UploadBandLimitSecond", ConfigInt::kUploadBandLimitSecond},
    {"DownloadBandLimitSecond", ConfigInt::kDownloadBandLimitSecond},
    {"UpdateConfigIntervalSecond", ConfigInt::kUpdateConfigIntervalSecond},
    {"ReportMask", ConfigInt::kReportMask},
};

constexpr IntKey kFlagKeys[] = {
    {"IsUpdaterInfoFolderHidden", ConfigInt::kIsUpdaterInfoFolderHidden},
    {"DeleteDownloadInfo", ConfigInt::kDeleteDownloadInfo},
    {"UsingUPnP", ConfigInt::kUsingUPnP},
    {"ReportEnable", ConfigInt::kReportEnable},
};

}  // namespace

std::vector<CdnEntry> ParseCdnList(const std::string& text) {
  std::vector<CdnEntry> out;
  for (std::string entry : SplitBlanks(text)) {
    if (!entry.empty() && entry.front() == '"') entry.erase(0, 1);
    if (!entry.empty() && entry.back() == '"') entry.pop_back();
    CdnEntry item;
    std::size_t lt = entry.find('<');
    item.url = entry.substr(0, lt);
    if (lt != std::string::npos && entry.size() >= lt + 2) {
      // between the "<" and the last character, taken to be ">"
      std::string factor = entry.substr(lt + 1, entry.size() - lt - 2);
      item.factor = ScanInt(factor).value_or(0);
    }
    if (!item.url.empty()) out.push_back(std::move(item));
  }
  return out;
}

ConfigService::ConfigService(const Parameters& params)
    : params_(params), tick_([] { return platform::clock::TickCount(); }) {
  auto set = [this](ConfigInt f, std::int32_t v) { ints_[static_cast<std::size_t>(f)] = v; };
  set(ConfigInt::kMaxUploadConnNum, params.max_upload_num);
  set(ConfigInt::kMaxDownloadConnNum, params.max_download_num);
  set(ConfigInt::kMaxNetworkConnNum, 512);
  set(ConfigInt::kEruptConnectNum, 5);
  set(ConfigInt::kMaxWaitTime, 1);
  set(ConfigInt::kMaxTryTime, 10);
  set(ConfigInt::kGetPeerListIntervalSecond, 3);
  set(ConfigInt::kStateReportIntervalPercent, params.report_percent_interval);
  set(ConfigInt::kCleanupPeerIntervalSecond, 1);
  set(ConfigInt::kUploadThreadNum, params.upload_thread_num);
  set(ConfigInt::kMaxWaitTask, params.max_wait_task);
  set(ConfigInt::kHttpDownloadThreadNum, params.http_thread_num);
  set(ConfigInt::kUploadBandLimitSecond, static_cast<std::int32_t>(params.upload_limit));
  set(ConfigInt::kDownloadBandLimitSecond, static_cast<std::int32_t>(params.download_limit));
  set(ConfigInt::kUpdateConfigIntervalSecond, 60);
  set(ConfigInt::kReportMask, -1);
  set(ConfigInt::kIsUpdaterInfoFolderHidden, params.info_folder_hidden ? 1 : 0);
  set(ConfigInt::kDeleteDownloadInfo, params.delete_download_info ? 1 : 0);
  set(ConfigInt::kUsingUPnP, params.using_upnp ? 1 : 0);
  set(ConfigInt::kReportEnable, params.http_report ? 1 : 0);
  tcp_port_ = params.tcp_listen_port;
  udp_port_ = params.udp_port;
  http_list_ = params.http_urls;
}

int ConfigService::Init() {
  ZLOG(log::kInfo, kModule, "ConfigService::Init");
  return framework::kPhaseDone;
}

int ConfigService::Start() {
  ZLOG(log::kInfo, kModule, "ConfigService::Start");
  // The configuration waits for nobody: the network service (registered, not
  // yet started) is only needed once the task description asks for the
  // server configuration, and a core without one keeps its local settings.
  return framework::ServiceLookup(registry_, kModule)
      .Optional(network_, kNetworkServiceName)
      .Result();
}

int ConfigService::Run() {
  std::uint32_t now = tick_();
  if (!has_last_load_) {
    has_last_load_ = true;
    last_load_tick_ = now;
  } else {
    std::uint32_t interval_ms =
        static_cast<std::uint32_t>(Get(ConfigInt::kUpdateConfigIntervalSecond)) * 1000u;
    if (now - last_load_tick_ >= interval_ms) {
      last_load_tick_ = now;
      if (periodic_reload_) LoadConfigFromServer();
    }
  }
  CheckResponse();
  return framework::kPhaseNotYet;
}

int ConfigService::Stop() {
  ZLOG(log::kInfo, kModule, "ConfigService::Stop");
  return framework::kPhaseDone;
}

int ConfigService::Release() {
  ZLOG(log::kInfo, kModule, "ConfigService::Release");
  return framework::kPhaseDone;
}

std::int32_t ConfigService::Get(ConfigInt field) const {
  return ints_[static_cast<std::size_t>(field)].load();
}

void ConfigService::Set(ConfigInt field, std::int32_t value) {
  ints_[static_cast<std::size_t>(field)] = value;
}

void ConfigService::SetState(std::int32_t state) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  history_.push_back(state);
  state_ = state;
  InteractiveValue(kestra::protocol::kKeyP2PState, "%d", state);
  ZLOG(log::kNotice, kModule, "ConfigService::SetState state=%d", state);
}

std::int32_t ConfigService::State() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return state_;
}

std::vector<std::int32_t> ConfigService::StateHistory() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return history_;
}

void ConfigService::LoadConfigFromServer() {
  if (params_.only_local_config || request_pending_) return;
  std::string address = server_config_address();
  if (address.empty()) return;
  ZLOG(log::kNotice, kModule, "ConfigService::LoadConfigFromServer");
  if (network_ == nullptr) return;
  if (network_->StartTextFetch(http_list(), address)) request_pending_ = true;
}

void ConfigService::CheckResponse() {
  if (!request_pending_) return;
  if (network_ == nullptr) {
    request_pending_ = false;
    return;
  }
  bool ok = false;
  std::string body;
  if (!network_->TakeTextFetch(ok, body)) return;
  if (ok) ApplyServerConfig(body);
  request_pending_ = false;
}

int ConfigService::ApplyServerConfig(const std::string& text) {
  if (text.size() > kMaxServerConfigBytes) {
    ZLOG(log::kError, kModule, "server configuration of %zu bytes refused", text.size());
    return 0;
  }
  int changed = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    std::string line = text.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
    pos = lf == std::string::npos ? text.size() : lf + 1;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (value.empty()) continue;
    if (ApplyLine(key, value)) ++changed;
  }
  return changed;
}

bool ConfigService::ApplyLine(const std::string& key, const std::string& value) {
  for (const IntKey& k : kIntKeys) {
    if (key != k.key) continue;
    std::optional<std::int32_t> n = ScanInt(value);
    if (!n) return false;
    // Counts, intervals and limits are never negative; the reload interval
    // stays at least a second so that a bad value cannot turn the reload
    // into a flood of requests.
    if (k.field != ConfigInt::kReportMask && *n < 0) return false;
    if (k.field == ConfigInt::kUpdateConfigIntervalSecond &&
        (*n < 1 || *n > kMaxUpdateConfigIntervalSecond)) {
      return false;
    }
    Set(k.field, *n);
    return true;
  }
  for (const IntKey& k : kFlagKeys) {
    if (key != k.key) continue;
    std::optional<std::int32_t> n = ScanInt(value);
    if (!n) return false;
    Set(k.field, *n != 0 ? 1 : 0);
    return true;
  }
  if (key == "CDNList") {
    std::vector<CdnEntry> list = ParseCdnList(value);
    if (list.empty()) return false;
    set_cdn_list(std::move(list));
    return true;
  }
  if (key == "HttpList") {
    std::vector<std::string> list = SplitBlanks(value);
    if (list.empty()) return false;
    set_http_list(std::move(list));
    return true;
  }
  if (key == "IPDNSPickerURL") {
    std::lock_guard<std::mutex> lock(lists_mutex_);
    ip_dns_picker_url_ = value;
    return true;
  }
  return false;
}

std::vector<CdnEntry> ConfigService::cdn_list() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return cdn_list_;
}

void ConfigService::set_cdn_list(std::vector<CdnEntry> list) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  cdn_list_ = std::move(list);
  cdn_list_changed_ = true;
}

std::vector<TrackerAddress> ConfigService::tracker_list() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return tracker_list_;
}

void ConfigService::set_tracker_list(std::vector<TrackerAddress> list) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  tracker_list_ = std::move(list);
}

bool ConfigService::TakeCdnListChanged() {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  bool changed = cdn_list_changed_;
  cdn_list_changed_ = false;
  return changed;
}

std::vector<std::string> ConfigService::http_list() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return http_list_;
}

void ConfigService::set_http_list(std::vector<std::string> list) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  http_list_ = std::move(list);
}

std::string ConfigService::ip_dns_picker_url() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return ip_dns_picker_url_;
}

std::string ConfigService::server_config_address() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return server_config_address_;
}

void ConfigService::set_server_config_address(const std::string& address) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  server_config_address_ = address;
}

std::string ConfigService::main_server_ip() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return main_server_ip_;
}

void ConfigService::set_main_server(const std::string& ip, std::uint16_t port) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  main_server_ip_ = ip;
  main_server_port_ = port;
}

ConfigService::InfoFilePaths ConfigService::info_file_paths() const {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  return info_paths_;
}

void ConfigService::set_info_file_paths(const InfoFilePaths& paths) {
  std::lock_guard<std::mutex> lock(lists_mutex_);
  info_paths_ = paths;
}

}  // namespace zelt
