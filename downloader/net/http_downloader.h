// Range downloads from the CDN servers: a pool of threads, each taking a
// run of at most ten contiguous blocks (priority segments first), asking one
// server for that byte range and handing the body to the block storage.
// When nothing is left to take, a thread cancels the peers' outstanding
// blocks and puts every Allocated block back to Free, so that whatever is
// still missing is fetched again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "downloader/net/http_block_source.h"
#include "downloader/net/http_requester.h"
#include "downloader/net/http_server_manager.h"
#include "downloader/services/parameters.h"  // kMaxHttpThreads

namespace zelt {

inline constexpr std::size_t kMaxBlocksPerRequest = 10;
inline constexpr std::uint32_t kHttpIdleWaitMs = 100;

// One range request: the blocks it covers (of one file, contiguous) and the
// server it goes to.
struct HttpRunRequest {
  std::int32_t server_id = 0;
  std::string url;
  std::uint32_t file_id = 0;
  std::uint32_t level = 0;
  bool priority = false;
  std::uint64_t flight = 0;  // key of the blocks' in-flight entry
  std::vector<HttpBlockRef> blocks;
  std::uint32_t RangeStart() const { return blocks.front().start; }
  std::uint32_t RangeEnd() const { return blocks.back().start + blocks.back().length - 1; }
};

// Percent-encodes the bytes of a seed name that cannot stand in a request
// line as they are (and the path separator "\"), so that the server maps the
// path back to exactly these bytes.
std::string EncodeUrlPath(const std::string& name);

class HttpDownloader;

// The sink of one range request.
class HttpDownloadCallback : public HttpCallback {
 public:
  HttpDownloadCallback(HttpDownloader& owner, const HttpRunRequest& request);
  bool OnSpeedControl(std::uint32_t bytes) override;
  bool OnData(const char* data, std::uint32_t length, std::uint32_t file_offset) override;
  void OnRecvHead(const std::string& header, const std::string& status,
                  std::uint64_t content_length) override;
  void OnFinish(HttpRequester& requester, std::int32_t result) override;

 private:
  HttpDownloader& owner_;
  std::int32_t server_id_;
  std::uint32_t file_id_;
  std::uint32_t range_start_;
  std::uint32_t range_end_;
};

class DownloadThread {
 public:
  DownloadThread(HttpDownloader& owner, std::uint32_t id);
  ~DownloadThread();
  DownloadThread(const DownloadThread&) = delete;
  DownloadThread& operator=(const DownloadThread&) = delete;

  void Start();
  // Sets the stop flag and closes the socket; Join waits for the thread.
  void RequestStop();
  void Join();

  // Hands a priority request over when the thread is idle or busy with a
  // request of a lower level than level; the request it is busy with is cut
  // off. False (request untouched) when the thread keeps its work.
  bool OfferImmediate(HttpRunRequest& request, std::uint32_t level);
  bool requesting() const { return requesting_.load(); }
  std::uint32_t id() const { return id_; }

 private:
  void Loop();
  // One turn; false when the thread was idle.
  bool Turn();
  void Perform(HttpRunRequest& request);
  void IdleWait();

  HttpDownloader& owner_;
  const std::uint32_t id_;
  HttpRequester requester_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<HttpRunRequest> immediate_;
  bool stop_ = false;
  std::atomic<bool> requesting_{false};
  std::uint32_t level_ = 0;      // of the request in progress
  bool current_priority_ = false;
  bool cut_ = false;  // the request in progress was cut off for a priority one
  std::thread thread_;
};

class HttpDownloader {
 public:
  struct Hooks {
    // Cancels the blocks requested from peers; returns how many there were.
    std::function<std::size_t()> cancel_peer_requests;
    // The HTTP bandwidth control; may sleep on the calling thread.
    std::function<void(std::uint32_t bytes)> speed_control;
    // Wall-clock seconds for the per-minute history.
    std::function<std::int64_t()> clock;
  };

  HttpDownloader(IHttpBlockSource& source, HttpServerManager& servers, Hooks hooks = {});
  ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // Starts count threads (stops any running first).
  void Start(std::int32_t count);
  void Stop();
  // Grows or shrinks the pool at once.
  void SetThreadCount(std::int32_t count);
  std::size_t ThreadCount() const;
  std::size_t ActiveThreads() const;

  void SetDownloadingAllowed(bool allowed) { downloading_allowed_ = allowed; }
  bool downloading_allowed() const { return downloading_allowed_.load(); }

  std::uint64_t HttpBytes() const { return http_bytes_.load(); }
  void AddBytes(std::uint64_t n) { http_bytes_ += n; }

  // After a priority segment of the level was registered: threads that are
  // idle or busy with less urgent work are handed its blocks at once.
  void TryPriorityAlloc(std::uint32_t level);

  IHttpBlockSource& source() { return source_; }
  HttpServerManager& servers() { return servers_; }
  const Hooks& hooks() const { return hooks_; }
  std::int64_t Now() const;

  // Blocks for the next request: priority segments of at least min_level
  // first, then a run from the HTTP cursor when allow_normal; the request's
  // blocks, level and in-flight key are filled in. False when nothing could
  // be taken.
  bool Allocate(std::uint32_t min_level, bool allow_normal, HttpRunRequest& out);
  // Names the URL; false (blocks returned) when the file has no name.
  bool BuildRequest(const CdnChoice& server, HttpRunRequest& request);
  // Nothing left to take: cancel the peers' blocks and put every Allocated
  // block back to Free, except those of requests in flight here (they are
  // not lost, only slow; a failing one returns its blocks itself).
  void ReclaimAllocated(std::uint32_t thread_id);
  // The request is over: its blocks that are still Allocated go back to Free.
  void Release(HttpRunRequest& request);

 private:
  IHttpBlockSource& source_;
  HttpServerManager& servers_;
  Hooks hooks_;
  std::atomic<bool> downloading_allowed_{true};
  std::atomic<std::uint64_t> http_bytes_{0};

  mutable std::mutex threads_mutex_;
  std::vector<std::unique_ptr<DownloadThread>> threads_;
  std::uint32_t next_thread_id_ = 0;

  // Serialises allocation against a reclaim.
  std::mutex alloc_mutex_;
  std::uint64_t next_flight_ = 1;
  std::map<std::uint64_t, std::vector<HttpBlockRef>> in_flight_;  // under alloc_mutex_
};

}  // namespace zelt
