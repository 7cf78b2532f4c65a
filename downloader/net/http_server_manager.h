// The CDN servers of a task and the choice of the server for the next range
// request: servers are weighted by their factor, a server that answers with
// an error status is avoided for a while, and every count is kept per server
// for the statistics.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelt {

// Bounds of the server table (entries come from outside: the task
// description and the server configuration).
inline constexpr std::size_t kMaxCdnServers = 64;
inline constexpr std::size_t kMaxCdnUrlBytes = 1024;
// Minutes of received-byte history kept per server.
inline constexpr std::size_t kCdnHistoryMinutes = 60;
// A server that answered with an error is avoided this long.
inline constexpr std::int64_t kCdnUnavailableSeconds = 30;
// A request handed out without a header coming back counts as lost after this.
inline constexpr std::int64_t kCdnPendingTimeoutSeconds = 5;

enum class CdnState : std::int32_t { kUnknown = 0, kAvailable = 1, kUnavailable = 2 };

struct CdnServer {
  std::int32_t id = 0;  // -1, -2, ... in order of adding
  std::string url;      // base URL
  std::int32_t factor = 0;  // negated while UNAVAILABLE
  CdnState state = CdnState::kUnknown;
  bool pending = false;  // a request is out and no header came back yet
  std::uint32_t requestCount = 0;
  std::uint64_t headerBytes = 0;
  std::uint64_t contentBytes = 0;
  std::uint64_t receivedBytes = 0;
  std::int64_t stateTime = 0;  // seconds, last state change
  std::map<std::int64_t, std::uint64_t> minuteBytes;  // minute number -> bytes
};

// The server a request goes to. Requests refer to servers by id, so that
// the table may be rebuilt while a request is out.
struct CdnChoice {
  std::int32_t id = 0;
  std::string url;
};

class HttpServerManager {
 public:
  // Wall-clock seconds; tests inject their own.
  using Clock = std::function<std::int64_t()>;
  explicit HttpServerManager(Clock clock = {});

  // Adds a server; false (and nothing added) for an empty or overlong URL or
  // a full table.
  bool AddServer(const std::string& url, std::int32_t factor);
  void Clear();
  bool Empty() const;

  // The server for the next request, or nothing when there is no server.
  std::optional<CdnChoice> GetServer();
  // A response header came back: status is the three status digits.
  void OnHeader(std::int32_t id, std::uint64_t header_bytes, std::uint64_t content_bytes,
                const std::string& status);
  void OnRefuse(std::int32_t id, const std::string& reason);
  // The request failed in transport (no answer, connection cut, time-out):
  // the server is avoided like one that answered with an error status, so
  // that a server that never answers cannot draw every request to itself.
  void OnTransportFailure(std::int32_t id);
  // Body bytes received from the server at time (seconds).
  void AddReceived(std::int32_t id, std::uint64_t bytes, std::int64_t time);

  std::vector<CdnServer> Snapshot() const;
  // Hosts of the servers that delivered data, most bytes first, at most max.
  std::vector<std::string> MostUsedHosts(std::size_t max) const;

  void check_invariant() const;

 private:
  CdnServer* Find(std::int32_t id);
  std::int64_t Now() const { return clock_(); }

  Clock clock_;
  mutable std::mutex mutex_;
  std::vector<CdnServer> servers_;
  std::int32_t next_id_ = -1;
};

// Host part of an HTTP URL ("http://host:port/path" -> "host").
std::string UrlHost(const std::string& url);

}  // namespace zelt
