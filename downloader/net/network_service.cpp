#include "downloader/net/network_service.h"

#include <chrono>
#include <cstdlib>
#include <functional>

#include "downloader/framework/log.h"
#include "downloader/net/net_limits.h"
#include "downloader/services/config_service.h"
#include "platform/clock.h"
#include "platform/net_host.h"
#include "platform/process.h"

namespace zelt {
namespace {

constexpr const char* kModule = "NetworkService";
namespace pn = platform::net;
using framework::kPhaseDone;
using framework::kPhaseFailed;
using framework::kPhaseNotYet;

constexpr std::uint32_t kConfigIdleMs = 3000;
constexpr std::uint32_t kConfigTotalMs = 30000;
constexpr std::size_t kMaxPickerBytes = 64 * 1024;

std::string JoinUrl(const std::string& base, const std::string& address) {
  if (!base.empty() && base.back() == '/') return base + address;
  return base + "/" + address;
}

// The src attribute of the first <iframe ...> element; empty when none.
std::string IframeSource(const std::string& page) {
  std::size_t tag = page.find("<iframe");
  if (tag == std::string::npos) return {};
  std::size_t end = page.find('>', tag);
  std::string element = page.substr(tag, end == std::string::npos ? std::string::npos : end - tag);
  std::size_t src = element.find("src=");
  if (src == std::string::npos) return {};
  src += 4;
  if (src >= element.size()) return {};
  char quote = element[src];
  if (quote == '"' || quote == '\'') {
    std::size_t close = element.find(quote, src + 1);
    if (close == std::string::npos) return {};
    return element.substr(src + 1, close - src - 1);
  }
  std::size_t stop = element.find_first_of(" \t\r\n", src);
  return element.substr(src, stop == std::string::npos ? std::string::npos : stop - src);
}

}  // namespace

NetworkService::NetworkService(TickSource tick)
    : tick_(tick ? std::move(tick) : TickSource([] { return platform::clock::TickCount(); })), poller_(tick_) {}

NetworkService::~NetworkService() {
  stopping_ = true;
  JoinWorkers();
}

void NetworkService::JoinWorkers() {
  {
    std::lock_guard<std::mutex> lock(fetch_mutex_);
    if (fetch_requester_ != nullptr) {
      fetch_requester_->Stop();
      fetch_requester_->Close();
    }
    if (picker_requester_ != nullptr) {
      picker_requester_->Stop();
      picker_requester_->Close();
    }
  }
  if (fetch_thread_.joinable()) fetch_thread_.join();
  if (picker_thread_.joinable()) picker_thread_.join();
}

int NetworkService::Init() {
  ZLOG(log::kInfo, kModule, "NetworkService::Init");
  std::srand(static_cast<unsigned>(tick_() * std::hash<std::thread::id>()(std::this_thread::get_id())));
  return kPhaseDone;
}

int NetworkService::Start() {
  if (driver_ != nullptr) {
    if (int r = framework::WaitForAll(*driver_, {kConfigServiceName}); r != kPhaseDone) return r;
  }
  ZLOG(log::kInfo, kModule, "NetworkService::Start");
  if (framework::ServiceLookup(registry_, kModule).Require(config_, kConfigServiceName).Result() != kPhaseDone)
    return kPhaseFailed;
  ZLOG(log::kInfo, kModule, "NetworkService::Start 1");
  ZLOG(log::kInfo, kModule, "NetworkService::Start 2");
  std::string pinned = config_->params().local_ip;
  auto host = pn::HostName();
  if (!host) {
    ZLOG(log::kError, kModule, "NetworkService::Start 3 gethostname err");
    if (pinned.empty()) return kPhaseFailed;
  } else {
    ZLOG(log::kInfo, kModule, "NetworkService::Start hostname=%s", host->c_str());
  }
  if (!pinned.empty()) {
    local_address_ = pinned;
  } else {
    auto ip = pn::ResolveIpv4(*host);
    if (!ip) {
      ZLOG(log::kError, kModule, "NetworkService::Start 4 gethostbyname err");
      return kPhaseFailed;
    }
    local_address_ = pn::Address{*ip, 0}.IpText();
  }
  ZLOG(log::kInfo, kModule, "NetworkService::Start self_ip=%s", local_address_.c_str());
  // The first tracker of the task is the main server.
  if (auto trackers = config_->tracker_list(); !trackers.empty())
    config_->set_main_server(trackers.front().ip, trackers.front().port);
  ZLOG(log::kInfo, kModule, "NetworkService::Start 5");
  ZLOG(log::kInfo, kModule, "NetworkService::Start 6");
  return kPhaseDone;
}

int NetworkService::Run() {
  std::uint32_t now = tick_();
  {
    std::lock_guard<std::recursive_mutex> lock(poller_.mutex());
    std::uint32_t second = now - now % 1000;
    if (!has_second_ || second != last_assign_second_) {
      bool first = !has_second_;
      has_second_ = true;
      last_assign_second_ = second;
      if (!first) AssignDownloadLimit(now);
      else {
        std::lock_guard<std::mutex> http(http_mutex_);
        http_second_ = second;
      }
    }
    poller_.Poll();
  }
  if (!picker_started_ && config_.bound() && !stopping_) {
    std::string url = config_->ip_dns_picker_url();
    if (!url.empty()) {
      picker_started_ = true;
      picker_thread_ = std::thread([this, url] { PickerWorker(url); });
    }
  }
  return kPhaseNotYet;
}

int NetworkService::Stop() {
  ZLOG(log::kInfo, kModule, "DelSysSentTcp");
  DelSysSentTcp(platform::process::CurrentPid());
  ZLOG(log::kInfo, kModule, "NetworkService::Stop");
  stopping_ = true;
  ZLOG(log::kInfo, kModule, "NetworkService::Stop 1");
  {
    std::lock_guard<std::mutex> lock(http_mutex_);
    http_changed_.notify_all();
  }
  ZLOG(log::kInfo, kModule, "NetworkService::Stop 2");
  JoinWorkers();
  for (int i = 3; i <= 6; ++i) ZLOG(log::kInfo, kModule, "NetworkService::Stop %d", i);
  return kPhaseDone;
}

int NetworkService::Release() {
  ZLOG(log::kInfo, kModule, "NetworkService::Release");
  return kPhaseDone;
}

std::string NetworkService::LocalAddress() const { return local_address_; }

// ------------------------------------------------- HTTP bandwidth control

void NetworkService::HttpSpeedControl(std::uint32_t bytes, const std::atomic<bool>* stop) {
  std::unique_lock<std::mutex> lock(http_mutex_);
  http_total_ += bytes;
  http_counter_ += bytes;
  const std::uint32_t second = http_second_;
  for (;;) {
    if (stopping_ || (stop != nullptr && stop->load())) return;
    if (http_second_ != second) return;  // a new second: the count starts again
    if (http_counter_ <= http_limit_ || http_limit_ == 0) return;
    std::uint64_t until = http_counter_ * 1000 / http_limit_;
    if (static_cast<std::uint64_t>(tick_() - second) >= until) return;
    http_changed_.wait_for(lock, std::chrono::milliseconds(1));
  }
}

std::uint64_t NetworkService::HttpTotalBytes() const {
  std::lock_guard<std::mutex> lock(http_mutex_);
  return http_total_;
}

std::uint32_t NetworkService::http_limit() const {
  std::lock_guard<std::mutex> lock(http_mutex_);
  return http_limit_;
}

std::uint32_t NetworkService::http_speed() const {
  std::lock_guard<std::mutex> lock(http_mutex_);
  return http_speed_;
}

void NetworkService::AssignDownloadLimit(std::uint32_t now) {
  std::uint32_t download_limit =
      config_.bound() ? static_cast<std::uint32_t>(config_->Get(ConfigInt::kDownloadBandLimitSecond)) : 0xFFFFFFFFu;
  std::uint32_t upload_limit =
      config_.bound() ? static_cast<std::uint32_t>(config_->Get(ConfigInt::kUploadBandLimitSecond)) : 0;
  std::uint32_t p2p_speed, upload_speed;
  {
    std::lock_guard<std::recursive_mutex> lock(poller_.mutex());
    p2p_speed = poller_.receive_limiter().MeasuredRate(now);
    upload_speed = poller_.send_limiter().MeasuredRate(now);
  }
  std::lock_guard<std::mutex> lock(http_mutex_);
  http_limit_ = p2p_speed >= download_limit ? 1 : download_limit - p2p_speed;
  http_speed_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(http_counter_, UINT32_MAX));
  http_counter_ = 0;
  http_second_ = now - now % 1000;
  ZLOG(log::kTrace, kModule,
       "NetworkService::AssignDownloadLimit download_limit=%u upload_limit=%u http_limit=%u http_speed=%u "
       "p2p_speed=%u upload_speed=%u",
       download_limit, upload_limit, http_limit_, http_speed_, p2p_speed, upload_speed);
  // Waits measure against the second that just ended: let them go.
  http_changed_.notify_all();
}

std::size_t NetworkService::DelSysSentTcp(int pid, const std::vector<pn::Address>* only) {
  if (pid != platform::process::CurrentPid()) return 0;
  return poller_.ResetConnecting(only);
}

// ------------------------------------------------ server configuration

bool NetworkService::StartTextFetch(const std::vector<std::string>& servers, const std::string& address) {
  if (servers.empty() || address.empty() || stopping_) return false;
  std::lock_guard<std::mutex> lock(fetch_mutex_);
  if (fetch_running_) return false;
  if (fetch_thread_.joinable()) fetch_thread_.join();  // finished, result taken or not
  fetch_running_ = true;
  fetch_done_ = false;
  fetch_ok_ = false;
  fetch_body_.clear();
  fetch_thread_ = std::thread([this, servers, address] { FetchWorker(servers, address); });
  return true;
}

bool NetworkService::TakeTextFetch(bool& ok, std::string& body) {
  std::lock_guard<std::mutex> lock(fetch_mutex_);
  if (!fetch_done_) return false;
  ok = fetch_ok_;
  body = std::move(fetch_body_);
  fetch_body_.clear();
  fetch_done_ = false;
  return true;
}

void NetworkService::FetchWorker(std::vector<std::string> servers, std::string address) {
  HttpRequester requester;
  {
    std::lock_guard<std::mutex> lock(fetch_mutex_);
    fetch_requester_ = &requester;
  }
  bool ok = false;
  std::string body;
  for (const std::string& server : servers) {
    if (stopping_) break;
    RequestDescriptor d;
    d.url = JoinUrl(server, address);
    d.idleTimeout = kConfigIdleMs;
    d.totalTimeout = kConfigTotalMs;
    // One byte past the bound tells a text that is too long.
    d.rangeEnd = static_cast<std::uint32_t>(kMaxServerConfigBytes);
    std::int32_t r = requester.Get(d);
    if (r >= 0 && requester.Body().size() <= kMaxServerConfigBytes) {
      ok = true;
      body = requester.Body();
      break;
    }
    ZLOG(log::kWarning, kModule, "server configuration from %s failed: %d %s", d.url.c_str(), r,
         r >= 0 ? "too long" : requester.ErrorText().c_str());
  }
  std::lock_guard<std::mutex> lock(fetch_mutex_);
  fetch_requester_ = nullptr;
  fetch_ok_ = ok;
  fetch_body_ = std::move(body);
  fetch_done_ = true;
  fetch_running_ = false;
}

// --------------------------------------------------------- address picker

void NetworkService::PickerWorker(std::string url) {
  HttpRequester requester;
  {
    std::lock_guard<std::mutex> lock(fetch_mutex_);
    picker_requester_ = &requester;
  }
  // The page, and the page its first iframe points at; the answers are only
  // logged.
  for (int step = 0; step < 2 && !url.empty() && !stopping_; ++step) {
    RequestDescriptor d;
    d.url = url;
    d.idleTimeout = kConfigIdleMs;
    d.totalTimeout = kConfigTotalMs;
    d.rangeEnd = static_cast<std::uint32_t>(kMaxPickerBytes - 1);
    ZLOG(log::kInfo, kModule, "HttpSocket send:\n%s", url.c_str());
    std::int32_t r = requester.Get(d);
    ZLOG(log::kInfo, kModule, "HttpSocket send returned %d", r);
    if (r < 0) break;
    const std::string page = requester.HeaderText() + requester.Body();
    std::size_t pos = 0;
    while (pos < page.size()) {
      std::size_t eol = page.find('\n', pos);
      std::string line = page.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      ZLOG(log::kInfo, kModule, "HttpSocket::OnLine %s", line.c_str());
      pos = eol == std::string::npos ? page.size() : eol + 1;
    }
    url = IframeSource(requester.Body());
  }
  std::lock_guard<std::mutex> lock(fetch_mutex_);
  picker_requester_ = nullptr;
}

}  // namespace zelt
