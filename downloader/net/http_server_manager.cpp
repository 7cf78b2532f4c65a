#include "downloader/net/http_server_manager.h"

#include <algorithm>
#include <cstdlib>

#include "downloader/framework/log.h"
#include "platform/clock.h"

namespace zelt {
namespace {

constexpr const char* kModule = "HttpServerManager";

#ifndef NDEBUG
#define HSM_INVARIANT() check_invariant()
#else
#define HSM_INVARIANT() (void)0
#endif

std::int32_t Positive(std::int32_t f) { return f < 0 ? (f == INT32_MIN ? INT32_MAX : -f) : f; }
std::int32_t Negative(std::int32_t f) { return f > 0 ? -f : f; }

}  // namespace

std::string UrlHost(const std::string& url) {
  std::size_t begin = url.find("://");
  begin = begin == std::string::npos ? 0 : begin + 3;
  std::size_t end = url.find_first_of(":/", begin);
  return url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

HttpServerManager::HttpServerManager(Clock clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return platform::clock::UnixSeconds(); };
}

bool HttpServerManager::AddServer(const std::string& url, std::int32_t factor) {
  std::lock_guard<std::mutex> lock(mutex_);
  HSM_INVARIANT();
  if (url.empty() || url.size() > kMaxCdnUrlBytes || servers_.size() >= kMaxCdnServers) return false;
  CdnServer s;
  s.id = next_id_--;
  s.url = url;
  // Trailing separators would double the one put before the file name.
  while (s.url.size() > 1 && s.url.back() == '/') s.url.pop_back();
  s.factor = factor;
  s.stateTime = Now();
  servers_.push_back(std::move(s));
  return true;
}

void HttpServerManager::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  servers_.clear();
}

bool HttpServerManager::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return servers_.empty();
}

CdnServer* HttpServerManager::Find(std::int32_t id) {
  for (CdnServer& s : servers_) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

std::optional<CdnChoice> HttpServerManager::GetServer() {
  std::lock_guard<std::mutex> lock(mutex_);
  HSM_INVARIANT();
  const std::int64_t now = Now();
  for (CdnServer& s : servers_) {
    if (s.state == CdnState::kUnavailable && now - s.stateTime > kCdnUnavailableSeconds) {
      s.state = CdnState::kUnknown;
      ZLOG(log::kNotice, kModule, "CDN %s UNKNOWN", s.url.c_str());
      s.pending = false;
      s.factor = Positive(s.factor);
      s.stateTime = now;
    } else if (s.state == CdnState::kUnknown && s.pending &&
               now - s.stateTime > kCdnPendingTimeoutSeconds) {
      ZLOG(log::kNotice, kModule, "CDN %s UNKNOWN timeout.", s.url.c_str());
      s.pending = false;
      s.stateTime = now;
    }
  }
  CdnServer* best = nullptr;
  std::uint64_t best_load = 0;
  for (CdnServer& s : servers_) {
    if (s.factor <= 0) continue;
    std::uint64_t load = (s.contentBytes + s.receivedBytes) / static_cast<std::uint64_t>(s.factor);
    if (best == nullptr || load < best_load) {
      best = &s;
      best_load = load;
    }
  }
  if (best == nullptr) {
    for (CdnServer& s : servers_) {
      if (best == nullptr || s.requestCount < best->requestCount) best = &s;
    }
  }
  if (best == nullptr) return std::nullopt;
  ++best->requestCount;
  best->pending = true;
  ZLOG(log::kTrace, kModule, "request to server : %s", best->url.c_str());
  return CdnChoice{best->id, best->url};
}

void HttpServerManager::OnHeader(std::int32_t id, std::uint64_t header_bytes,
                                 std::uint64_t content_bytes, const std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  HSM_INVARIANT();
  CdnServer* s = Find(id);
  if (s == nullptr) return;
  s->headerBytes += header_bytes;
  s->contentBytes += content_bytes;
  s->pending = false;
  const char first = status.empty() ? '\0' : status[0];
  if (first == '2') {
    if (s->state != CdnState::kAvailable) s->stateTime = Now();
    s->state = CdnState::kAvailable;
  } else if (first != '1' && first != '3') {
    s->state = CdnState::kUnavailable;
    ZLOG(log::kWarning, kModule, "CDN %s UNAVAILABLE", s->url.c_str());
    s->stateTime = Now();
    s->factor = Negative(s->factor);
  }
}

void HttpServerManager::OnRefuse(std::int32_t id, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  CdnServer* s = Find(id);
  if (s == nullptr) return;
  ZLOG(log::kWarning, kModule, "CDN %s, Request refuse. %s", s->url.c_str(), reason.c_str());
}

void HttpServerManager::OnTransportFailure(std::int32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  HSM_INVARIANT();
  CdnServer* s = Find(id);
  if (s == nullptr) return;
  s->pending = false;
  s->state = CdnState::kUnavailable;
  ZLOG(log::kWarning, kModule, "CDN %s UNAVAILABLE", s->url.c_str());
  s->stateTime = Now();
  s->factor = Negative(s->factor);
}

void HttpServerManager::AddReceived(std::int32_t id, std::uint64_t bytes, std::int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CdnServer* s = Find(id);
  if (s == nullptr) return;
  s->receivedBytes += bytes;
  s->minuteBytes[time / 60] += bytes;
  while (s->minuteBytes.size() > kCdnHistoryMinutes) s->minuteBytes.erase(s->minuteBytes.begin());
}

std::vector<CdnServer> HttpServerManager::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return servers_;
}

std::vector<std::string> HttpServerManager::MostUsedHosts(std::size_t max) const {
  std::vector<std::pair<std::uint64_t, std::string>> used;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const CdnServer& s : servers_) {
      if (s.receivedBytes == 0) continue;
      std::string host = UrlHost(s.url);
      auto it = std::find_if(used.begin(), used.end(), [&](const auto& u) { return u.second == host; });
      if (it == used.end()) used.emplace_back(s.receivedBytes, host);
      else it->first += s.receivedBytes;
    }
  }
  std::stable_sort(used.begin(), used.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::string> out;
  for (std::size_t i = 0; i < used.size() && i < max; ++i) out.push_back(used[i].second);
  return out;
}

void HttpServerManager::check_invariant() const {
  std::int32_t expect = -1;
  for (const CdnServer& s : servers_) {
    // Ids are handed out in order and never reused.
    if (s.id > expect) std::abort();
    expect = s.id - 1;
    if (s.minuteBytes.size() > kCdnHistoryMinutes) std::abort();
  }
  if (servers_.size() > kMaxCdnServers) std::abort();
}

}  // namespace zelt
