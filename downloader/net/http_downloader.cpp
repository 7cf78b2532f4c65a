#include "downloader/net/http_downloader.h"

#include <algorithm>
#include <cinttypes>

#include "downloader/framework/log.h"
#include "platform/clock.h"

namespace zelt {
namespace {

constexpr const char* kThreadModule = "DownloadThread";
constexpr const char* kModule = "HttpDownloader";

std::string BlockList(const std::vector<HttpBlockRef>& blocks) {
  std::string text;
  char item[32];
  for (const HttpBlockRef& b : blocks) {
    std::snprintf(item, sizeof item, "%u[%u] ", b.file_id, b.index);
    text += item;
  }
  return text;
}

}  // namespace

std::string EncodeUrlPath(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    bool plain = c > 0x20 && c < 0x7F && c != '%' && c != '#' && c != '?' && c != '\\' && c != '"';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// ---------------------------------------------------------------- callback

HttpDownloadCallback::HttpDownloadCallback(HttpDownloader& owner, const HttpRunRequest& request)
    : owner_(owner),
      server_id_(request.server_id),
      file_id_(request.file_id),
      range_start_(request.RangeStart()),
      range_end_(request.RangeEnd()) {}

bool HttpDownloadCallback::OnSpeedControl(std::uint32_t bytes) {
  if (owner_.hooks().speed_control) owner_.hooks().speed_control(bytes);
  return true;
}

bool HttpDownloadCallback::OnData(const char* data, std::uint32_t length, std::uint32_t file_offset) {
  if (length == 0) return true;
  // Only bytes of the range asked for are taken, each at its own offset.
  std::uint64_t first = file_offset;
  std::uint64_t last = static_cast<std::uint64_t>(file_offset) + length - 1;
  if (last < range_start_ || first > range_end_) return true;
  std::uint64_t lo = std::max<std::uint64_t>(first, range_start_);
  std::uint64_t hi = std::min<std::uint64_t>(last, range_end_);
  const char* from = data + (lo - first);
  const auto n = static_cast<std::uint32_t>(hi - lo + 1);
  owner_.AddBytes(n);
  owner_.servers().AddReceived(server_id_, n, owner_.Now());
  if (!owner_.source().Write(file_id_, from, static_cast<std::uint32_t>(lo), n)) {
    ZLOG(log::kError, kModule, "FileSystem::Write File not found. FileID: %d", static_cast<int>(file_id_));
    return false;
  }
  return true;
}

void HttpDownloadCallback::OnRecvHead(const std::string& header, const std::string& status,
                                      std::uint64_t content_length) {
  ZLOG(log::kTrace, kModule, "OnRecvHead:\n%s\n%u %u", header.c_str(),
       static_cast<unsigned>(header.size()), static_cast<unsigned>(content_length));
  owner_.servers().OnHeader(server_id_, header.size(), content_length, status);
}

void HttpDownloadCallback::OnFinish(HttpRequester& requester, std::int32_t result) {
  if (result >= 0) {
    ZLOG(log::kTrace, kModule, "Http request ok file_id=%u", file_id_);
  } else if (result == kHttpRefused) {
    ZLOG(log::kWarning, kModule, "Http Refuse");
    owner_.servers().OnRefuse(server_id_, requester.HeaderText());
  } else if (result == kHttpTimeout) {
    ZLOG(log::kWarning, kModule, "Http Timeout");
  } else if (result == kHttpFail) {
    ZLOG(log::kWarning, kModule, "Http Fail, %s", requester.ErrorText().c_str());
  } else if (result == kHttpSpeedStop) {
    ZLOG(log::kWarning, kModule, "Speed Control Interrupt");
  } else if (result == kHttpSinkRefused) {
    ZLOG(log::kWarning, kModule, "Recv Control Interrupt");
    ZLOG(log::kWarning, kModule, "Http writing fail, may be too busy in writing thread");
  }
}

// ------------------------------------------------------------------ thread

DownloadThread::DownloadThread(HttpDownloader& owner, std::uint32_t id) : owner_(owner), id_(id) {}

DownloadThread::~DownloadThread() {
  RequestStop();
  Join();
}

void DownloadThread::Start() { thread_ = std::thread([this] { Loop(); }); }

void DownloadThread::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  requester_.Stop();
  requester_.Close();
}

void DownloadThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool DownloadThread::OfferImmediate(HttpRunRequest& request, std::uint32_t level) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_ || immediate_.has_value()) return false;
    const bool busy = requesting_.load();
    if (busy && current_priority_ && level_ >= level) return false;
    ZLOG(log::kInfo, kThreadModule, "ImmediateRequest %u %u", id_, level);
    immediate_ = std::move(request);
    if (busy) {
      cut_ = true;
      requester_.Close();  // the request in progress ends at once
    }
  }
  wake_.notify_all();
  return true;
}

void DownloadThread::Loop() {
  bool complete = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) break;
    }
    if (owner_.source().IsComplete()) {
      complete = true;
      break;
    }
    if (!Turn()) IdleWait();
  }
  std::optional<HttpRunRequest> left;
  bool stopped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(immediate_);
    stopped = stop_;
  }
  if (left) owner_.Release(*left);
  ZLOG(log::kInfo, kThreadModule, "DownloadThread finish id=%u m_stop=%d complete=%d", id_,
       stopped ? 1 : 0, complete ? 1 : 0);
}

bool DownloadThread::Turn() {
  HttpRunRequest request;
  bool have = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (immediate_) {
      request = std::move(*immediate_);
      immediate_.reset();
      have = true;
    }
  }
  if (!have) {
    if (!owner_.downloading_allowed() || owner_.servers().Empty()) return false;
    std::optional<CdnChoice> server = owner_.servers().GetServer();
    if (!server) {
      ZLOG(log::kWarning, kThreadModule, "http can not get a server thread_id=%u", id_);
      return false;
    }
    if (!owner_.Allocate(0, true, request)) {
      ZLOG(log::kInfo, kThreadModule, "http Alloc fail and Cancel P2p block thread_id=%u", id_);
      owner_.ReclaimAllocated(id_);
      return false;
    }
    if (!owner_.BuildRequest(*server, request)) return false;
  }
  Perform(request);
  return true;
}

void DownloadThread::Perform(HttpRunRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A priority request that came in meanwhile goes first; this one waits.
    if (stop_ || immediate_.has_value()) {
      owner_.Release(request);
      return;
    }
    requesting_ = true;
    cut_ = false;
    level_ = request.level;
    current_priority_ = request.priority;
  }
  std::uint32_t len = request.RangeEnd() - request.RangeStart() + 1;
  ZLOG(log::kTrace, kThreadModule, "http begin to download num=%u %s thread_id=%u len=%u url=%s",
       static_cast<unsigned>(request.blocks.size()), BlockList(request.blocks).c_str(), id_, len,
       request.url.c_str());
  HttpDownloadCallback sink(owner_, request);
  RequestDescriptor d;
  d.url = request.url;
  d.rangeStart = request.RangeStart();
  d.rangeEnd = request.RangeEnd();
  d.chunkSize = request.blocks.front().length;
  d.sink = &sink;
  ZLOG(log::kTrace, kThreadModule, "http thread request begin thread_id=%u", id_);
  std::uint64_t began = platform::clock::SteadyMs();
  std::int32_t ret = requester_.Get(d);
  ZLOG(log::kTrace, kThreadModule, "http thread request end thread_id=%u ret=%d len=%u t=%u", id_, ret,
       len, static_cast<unsigned>(platform::clock::SteadyMs() - began));
  bool cut;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cut = cut_ || stop_;
    requesting_ = false;
    cut_ = false;
    current_priority_ = false;
    level_ = 0;
  }
  if (!cut && (ret == kHttpFail || ret == kHttpTimeout)) owner_.servers().OnTransportFailure(request.server_id);
  owner_.Release(request);
}

void DownloadThread::IdleWait() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(kHttpIdleWaitMs),
                 [this] { return stop_ || immediate_.has_value(); });
}

// -------------------------------------------------------------- downloader

HttpDownloader::HttpDownloader(IHttpBlockSource& source, HttpServerManager& servers, Hooks hooks)
    : source_(source), servers_(servers), hooks_(std::move(hooks)) {}

HttpDownloader::~HttpDownloader() { Stop(); }

std::int64_t HttpDownloader::Now() const {
  return hooks_.clock ? hooks_.clock() : platform::clock::UnixSeconds();
}

void HttpDownloader::Start(std::int32_t count) {
  Stop();
  count = std::clamp<std::int32_t>(count, 0, kMaxHttpThreads);
  ZLOG(log::kNotice, kModule, "开启HTTP下载线程 %d 个", count);
  SetThreadCount(count);
}

void HttpDownloader::Stop() {
  std::vector<std::unique_ptr<DownloadThread>> threads;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    threads.swap(threads_);
  }
  if (threads.empty()) return;
  ZLOG(log::kNotice, kModule, "停止HTTP下载线程 %d 个", static_cast<int>(threads.size()));
  ZLOG(log::kInfo, kModule, "HttpDownloader::Stop 1");
  for (auto& t : threads) {
    ZLOG(log::kTrace, kModule, "DownloadThread::Stop begin id=%d 0", static_cast<int>(t->id()));
    t->RequestStop();
  }
  ZLOG(log::kInfo, kModule, "HttpDownloader::Stop 2");
  for (auto& t : threads) {
    t->Join();
    ZLOG(log::kTrace, kModule, "DownloadThread::Stop end id=%d 6", static_cast<int>(t->id()));
  }
  ZLOG(log::kInfo, kModule, "HttpDownloader::Stop 3");
}

void HttpDownloader::SetThreadCount(std::int32_t count) {
  count = std::clamp<std::int32_t>(count, 0, kMaxHttpThreads);
  std::vector<std::unique_ptr<DownloadThread>> extra;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    while (threads_.size() < static_cast<std::size_t>(count)) {
      threads_.push_back(std::make_unique<DownloadThread>(*this, next_thread_id_++));
      threads_.back()->Start();
    }
    while (threads_.size() > static_cast<std::size_t>(count)) {
      extra.push_back(std::move(threads_.back()));
      threads_.pop_back();
    }
  }
  for (auto& t : extra) t->RequestStop();
  for (auto& t : extra) t->Join();
}

std::size_t HttpDownloader::ThreadCount() const {
  std::lock_guard<std::mutex> lock(threads_mutex_);
  return threads_.size();
}

std::size_t HttpDownloader::ActiveThreads() const {
  std::lock_guard<std::mutex> lock(threads_mutex_);
  return static_cast<std::size_t>(
      std::count_if(threads_.begin(), threads_.end(), [](const auto& t) { return t->requesting(); }));
}

bool HttpDownloader::Allocate(std::uint32_t min_level, bool allow_normal, HttpRunRequest& request) {
  std::lock_guard<std::mutex> lock(alloc_mutex_);
  std::vector<HttpBlockRef>& out = request.blocks;
  out.clear();
  request.priority = false;
  request.level = 0;
  bool done = false;
  for (const PrioritySegment& seg : source_.PrioritySegments()) {
    if (done || seg.level < min_level) break;
    if (seg.length == 0) continue;
    std::uint32_t index = 0;
    if (!source_.BlockIndexAt(seg.file_id, seg.start, index)) continue;
    const std::uint64_t end = static_cast<std::uint64_t>(seg.start) + seg.length - 1;
    for (;; ++index) {
      HttpBlockRef info;
      if (!source_.BlockAt(seg.file_id, index, info) || info.start > end) break;
      if (!out.empty()) {
        const HttpBlockRef& last = out.back();
        // Overlapping segments: blocks already taken are passed over.
        if (last.file_id == seg.file_id && index <= last.index) continue;
        // A run continues across segments only while it stays contiguous.
        if (last.file_id != seg.file_id || last.index + 1 != index) {
          done = true;
          break;
        }
      }
      HttpBlockRef got;
      if (source_.AllocBlock(seg.file_id, index, got)) {
        if (out.empty()) request.level = seg.level;
        out.push_back(got);
        if (out.size() >= kMaxBlocksPerRequest) {
          done = true;
          break;
        }
      } else if (!out.empty()) {
        done = true;
        break;
      }
    }
  }
  if (!out.empty()) {
    request.priority = true;
  } else if (allow_normal) {
    source_.AllocRun(out, kMaxBlocksPerRequest);
  }
  if (out.empty()) return false;
  request.file_id = out.front().file_id;
  request.flight = next_flight_++;
  in_flight_[request.flight] = out;
  return true;
}

bool HttpDownloader::BuildRequest(const CdnChoice& server, HttpRunRequest& request) {
  std::string name;
  if (request.blocks.empty() || !source_.FileName(request.blocks.front().file_id, name)) {
    Release(request);
    return false;
  }
  request.server_id = server.id;
  request.url = server.url + "/" + EncodeUrlPath(name);
  return true;
}

void HttpDownloader::ReclaimAllocated(std::uint32_t thread_id) {
  std::size_t cancelled = hooks_.cancel_peer_requests ? hooks_.cancel_peer_requests() : 0;
  if (cancelled == 0) ZLOG(log::kInfo, kModule, "P2p Cancel made no help thread_id=%u", thread_id);
  std::lock_guard<std::mutex> lock(alloc_mutex_);
  source_.ResetAllAllocated();
  for (const auto& [key, blocks] : in_flight_) {
    for (const HttpBlockRef& b : blocks) {
      HttpBlockRef again;
      source_.AllocBlock(b.file_id, b.index, again);
    }
  }
}

void HttpDownloader::Release(HttpRunRequest& request) {
  std::lock_guard<std::mutex> lock(alloc_mutex_);
  in_flight_.erase(request.flight);
  request.flight = 0;
  for (const HttpBlockRef& b : request.blocks) source_.FreeIfAllocated(b);
}

void HttpDownloader::TryPriorityAlloc(std::uint32_t level) {
  std::vector<DownloadThread*> threads;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    for (auto& t : threads_) threads.push_back(t.get());
  }
  for (DownloadThread* t : threads) {
    std::optional<CdnChoice> server = servers_.GetServer();
    if (!server) return;
    HttpRunRequest request;
    if (!Allocate(level, false, request)) return;
    if (!BuildRequest(*server, request)) return;
    const HttpBlockRef first = request.blocks.front();
    const HttpBlockRef last = request.blocks.back();
    const std::string url = request.url;
    const auto num = static_cast<unsigned>(request.blocks.size());
    if (!t->OfferImmediate(request, request.level)) {
      Release(request);
      continue;
    }
    ZLOG(log::kInfo, kModule,
         "HttpDownloader::TryPriorityAlloc thread %u begin to download %u[%u-%u] num=%u url=%s", t->id(),
         first.file_id, first.index, last.index, num, url.c_str());
  }
}

}  // namespace zelt
