#include "downloader/net/http_requester.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "downloader/framework/log.h"
#include "downloader/net/net_limits.h"
#include "platform/clock.h"
#include "platform/net_host.h"

namespace zelt {
namespace {

constexpr const char* kModule = "HttpRequester";
// Internal result of one exchange that ended in a redirect.
constexpr std::int32_t kRedirected = 1 << 30;

namespace pn = platform::net;

std::uint64_t NowMs() { return platform::clock::SteadyMs(); }

}  // namespace

bool SplitHttpUrl(const std::string& url, HttpUrl& out) {
  out = HttpUrl();
  if (url.size() > kMaxUrlBytes) return false;
  std::string rest = url;
  const std::string scheme = "http://";
  if (rest.size() >= scheme.size()) {
    std::string head = rest.substr(0, scheme.size());
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    if (head == scheme) rest = rest.substr(scheme.size());
    else if (rest.find("://") != std::string::npos) return false;
  } else if (rest.find("://") != std::string::npos) {
    return false;
  }
  std::size_t slash = rest.find('/');
  out.host_field = rest.substr(0, slash);
  out.path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  for (char c : out.host_field)
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '@') return false;
  for (char c : out.path)
    if (c == '\r' || c == '\n') return false;
  std::size_t colon = out.host_field.find(':');
  out.host = out.host_field.substr(0, colon);
  if (out.host.empty()) return false;
  if (colon != std::string::npos) {
    auto port = pn::ParsePort(std::string_view(out.host_field).substr(colon + 1));
    if (!port) return false;
    out.port = *port;
  }
  return true;
}

std::string Base64(const std::string& bytes) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    std::uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                      (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
    out += kTable[(v >> 18) & 63];
    out += kTable[(v >> 12) & 63];
    out += kTable[(v >> 6) & 63];
    out += kTable[v & 63];
  }
  if (i < bytes.size()) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kTable[(v >> 18) & 63];
    out += kTable[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kTable[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

HttpRequester::~HttpRequester() { DropConnection(); }

void HttpRequester::Stop() { stop_ = true; }

void HttpRequester::Close() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  if (!socket_.IsOpen()) return;
  // Wakes a receive in progress on the owner's thread; the owner closes the
  // handle itself, so it is never reused under its feet.
  // Marked before the shutdown: the owner wakes at once and must see why.
  closed_by_other_ = true;
  socket_.Shutdown();
}

void HttpRequester::DropConnection() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  socket_.Close();
  closed_by_other_ = false;
  connected_host_.clear();
  connected_port_ = 0;
}

std::uint64_t HttpRequester::Elapsed() const { return NowMs() - start_ms_; }

std::int32_t HttpRequester::WaitReadable(const RequestDescriptor& request, const char* timeout_text) {
  for (;;) {
    if (stop_) {
      error_ = "stopped.";
      return kHttpStopped;
    }
    std::uint64_t now = NowMs();
    std::uint64_t idle = now - last_data_ms_;
    if ((request.idleTimeout != kHttpNoLimit && idle > request.idleTimeout) ||
        (request.totalTimeout != kHttpNoLimit && now - start_ms_ > request.totalTimeout)) {
      error_ = "request timeout.";
      return kHttpTimeout;
    }
    if (idle > kHttpNoProgressMs) {
      error_ = timeout_text;
      return kHttpFail;
    }
    int ready = socket_.Wait(pn::kReadable, static_cast<std::int64_t>(kHttpWaitSliceMs) * 1000);
    if (ready > 0) return 0;
    if (ready < 0) {
      error_ = "Exception error.";
      return kHttpFail;
    }
  }
}

std::int32_t HttpRequester::EnsureConnected(const HttpUrl& url, const RequestDescriptor& request, bool& reused) {
  reused = false;
  {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    if (closed_by_other_) {
      socket_.Close();
      closed_by_other_ = false;
    }
    if (socket_.IsOpen() && connected_host_ == url.host && connected_port_ == url.port) {
      // An idle kept connection that has something to read was closed by the
      // server (or carries bytes of no request of ours): start afresh.
      if (socket_.Wait(pn::kReadable, 0) == 0) {
        reused = true;
        return 0;
      }
    }
    socket_.Close();
  }
  connected_host_.clear();
  auto ip = pn::ResolveIpv4(url.host);
  if (!ip) {
    error_ = "::connect function return SOCKET_ERROR. ErrorCode = " + std::to_string(pn::LastError()) +
             ", server ip: " + url.host;
    ZLOG(log::kError, kModule, "%s", error_.c_str());
    return kHttpFail;
  }
  pn::Address to{*ip, url.port};
  pn::Socket socket;
  int code = 0;
  bool ok = socket.OpenTcp() && socket.SetNonBlocking(true);
  if (ok) {
    switch (socket.Connect(to)) {
      case pn::Socket::ConnectResult::Connected:
        break;
      case pn::Socket::ConnectResult::Failed:
        ok = false;
        break;
      case pn::Socket::ConnectResult::InProgress:
        for (;;) {
          if (stop_) {
            error_ = "stopped.";
            return kHttpStopped;
          }
          std::uint64_t now = NowMs();
          if ((request.idleTimeout != kHttpNoLimit && now - last_data_ms_ > request.idleTimeout) ||
              (request.totalTimeout != kHttpNoLimit && now - start_ms_ > request.totalTimeout)) {
            error_ = "request timeout.";
            return kHttpTimeout;
          }
          if (now - last_data_ms_ > kHttpNoProgressMs) {
            pn::SetLastError(pn::kWSAETIMEDOUT);
            ok = false;
            break;
          }
          int ready = socket.Wait(pn::kWritable, static_cast<std::int64_t>(kHttpWaitSliceMs) * 1000);
          if (ready < 0) {
            ok = false;
            break;
          }
          if (ready > 0) {
            ok = socket.PendingError() == 0;
            break;
          }
        }
        break;
    }
  }
  if (!ok) {
    code = pn::LastError();
    error_ = "::connect function return SOCKET_ERROR. ErrorCode = " + std::to_string(code) +
             ", server ip: " + to.IpText();
    ZLOG(log::kError, kModule, "%s", error_.c_str());
    return kHttpFail;
  }
  socket.SetNoDelay(true);
  std::lock_guard<std::mutex> lock(socket_mutex_);
  socket_ = std::move(socket);
  closed_by_other_ = false;
  connected_host_ = url.host;
  connected_port_ = url.port;
  ++connections_opened_;
  return 0;
}

std::int32_t HttpRequester::SendAll(const std::string& data, const RequestDescriptor& request) {
  std::size_t done = 0;
  while (done < data.size()) {
    if (stop_) {
      error_ = "stopped.";
      return kHttpStopped;
    }
    std::int64_t n = socket_.Send(data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK && NowMs() - start_ms_ < kHttpNoProgressMs &&
        (request.totalTimeout == kHttpNoLimit || NowMs() - start_ms_ <= request.totalTimeout)) {
      socket_.Wait(pn::kWritable, static_cast<std::int64_t>(kHttpWaitSliceMs) * 1000);
      continue;
    }
    error_ = "send http request fail.";
    return kHttpFail;
  }
  return 0;
}

std::int32_t HttpRequester::Get(const RequestDescriptor& request) {
  error_.clear();
  body_.clear();
  head_ = ResponseHead();
  start_ms_ = NowMs();
  last_data_ms_ = start_ms_;
  std::int32_t result = kHttpFail;
  std::string url = request.url;
  int redirects = 0;
  for (;;) {
    HttpUrl parts;
    if (!SplitHttpUrl(url, parts)) {
      error_ = "bad url: " + url.substr(0, 256);
      result = kHttpFail;
      break;
    }
    std::string target;
    result = GetOnce(request, parts, target);
    if (result != kRedirected) break;
    if (++redirects > kMaxHttpRedirects) {
      error_ = "too many redirects.";
      result = kHttpFail;
      break;
    }
    // A path without a host stays on the same server.
    if (!target.empty() && target[0] == '/') target = "http://" + parts.host_field + target;
    url = target;
  }
  if (result < 0) {
    body_.clear();
    if (result != kHttpStopped) ZLOG(log::kInfo, kModule, "Get %s: %d %s", request.url.c_str(), result, error_.c_str());
  }
  if (request.sink != nullptr) request.sink->OnFinish(*this, result);
  return result;
}

std::int32_t HttpRequester::GetOnce(const RequestDescriptor& request, const HttpUrl& url, std::string& redirect) {
  // A kept connection the server has meanwhile dropped fails before any
  // answer; that one case is tried once more on a new connection.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool reused = false;
    std::int32_t rc = EnsureConnected(url, request, reused);
    if (rc != 0) return rc;
    bool retry_fresh = false;
    rc = Transfer(request, url, redirect, reused, retry_fresh);
    if (!(retry_fresh && reused)) return rc;
    DropConnection();
  }
  return kHttpFail;
}

std::int32_t HttpRequester::Transfer(const RequestDescriptor& request, const HttpUrl& url, std::string& redirect,
                                     bool reused, bool& retry_fresh) {
  char range[64];
  std::snprintf(range, sizeof(range), "%" PRIu64 "-%" PRIu64, static_cast<std::uint64_t>(request.rangeStart),
                static_cast<std::uint64_t>(request.rangeEnd));
  std::string text = "GET /" + url.path + " HTTP/1.1\r\nHost: " + url.host_field +
                     "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nReferer: http://" +
                     url.host_field + "/\r\nRange: bytes=" + range + "\r\nConnection: Keep-Alive\r\n\r\n";
  std::int32_t rc = SendAll(text, request);
  if (rc != 0) {
    retry_fresh = rc == kHttpFail && !closed_by_other_;
    DropConnection();
    return rc;
  }

  HttpResponseParser parser;
  const bool keep_body = request.chunkSize == kHttpNoLimit || request.sink == nullptr;
  const std::size_t portion_size =
      request.chunkSize == 0 ? kMaxHttpPortion : std::min<std::size_t>(request.chunkSize, kMaxHttpPortion);
  std::string portion;
  std::uint64_t portion_offset = request.rangeStart;
  std::uint64_t delivered = 0;
  std::int32_t failure = 0;  // set by the body sink
  bool range_done = false;
  std::optional<RangeWindow> window;
  std::uint64_t received_any = 0;

  auto deliver = [&](const char* data, std::size_t size) -> bool {
    delivered += size;
    if (keep_body) {
      if (body_.size() + size > kMaxHttpKeptBody) {
        error_ = "response body too large.";
        failure = kHttpFail;
        return false;
      }
      body_.append(data, size);
      return true;
    }
    while (size > 0) {
      if (portion.empty() && size >= portion_size) {
        // Whole portions go straight from the receive buffer.
        if (!request.sink->OnData(data, static_cast<std::uint32_t>(portion_size),
                                  static_cast<std::uint32_t>(portion_offset))) {
          failure = kHttpSinkRefused;
          return false;
        }
        portion_offset += portion_size;
        data += portion_size;
        size -= portion_size;
        continue;
      }
      std::size_t take = std::min(size, portion_size - portion.size());
      portion.append(data, take);
      data += take;
      size -= take;
      if (portion.size() == portion_size) {
        if (!request.sink->OnData(portion.data(), static_cast<std::uint32_t>(portion.size()),
                                  static_cast<std::uint32_t>(portion_offset))) {
          failure = kHttpSinkRefused;
          return false;
        }
        portion_offset += portion.size();
        portion.clear();
      }
    }
    return true;
  };
  auto body_sink = [&](const char* data, std::size_t size) -> bool {
    RangeWindow::Slice slice = window->Take(size);
    if (slice.length > 0 && !deliver(data + slice.skip, slice.length)) return false;
    if (window->Past()) {
      range_done = true;
      return false;
    }
    return true;
  };

  std::string buffer(kHttpReadSize, '\0');
  for (;;) {
    std::int64_t n = socket_.Recv(buffer.data(), buffer.size());
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK) {
      rc = WaitReadable(request, parser.state() == HttpResponseParser::State::kHead ? "recv_header timeout."
                                                                                    : "recv_body timeout.");
      if (rc != 0) {
        DropConnection();
        return rc;
      }
      continue;
    }
    if (n < 0) {
      // A connection closed by Close() is not tried again: the caller wants
      // this request to end.
      if (received_any == 0 && !closed_by_other_) retry_fresh = true;
      error_ = closed_by_other_ ? "The remote server " + url.host + " closed the connection." : "Exception error.";
      DropConnection();
      return kHttpFail;
    }
    if (n == 0) {
      parser.FeedEnd();
      if (parser.state() != HttpResponseParser::State::kDone) {
        if (received_any == 0 && !closed_by_other_) retry_fresh = true;
        error_ = "The remote server " + url.host + " closed the connection.";
        DropConnection();
        return kHttpFail;
      }
      DropConnection();
      break;
    }
    received_any += static_cast<std::uint64_t>(n);
    last_data_ms_ = NowMs();
    std::size_t used = 0;
    while (used < static_cast<std::size_t>(n)) {
      used += parser.Feed(buffer.data() + used, static_cast<std::size_t>(n) - used, body_sink);
      HttpResponseParser::State state = parser.state();
      if (state == HttpResponseParser::State::kHeadDone) {
        head_ = parser.head();
        if (request.sink != nullptr)
          request.sink->OnRecvHead(head_.text, head_.status, head_.content_length.value_or(0));
        int klass = head_.code / 100;
        if (klass == 3) {
          DropConnection();
          if (head_.location.empty()) {
            error_ = "redirect without Location.";
            return kHttpFail;
          }
          redirect = head_.location;
          return kRedirected;
        }
        if (klass != 1 && klass != 2) {
          DropConnection();
          error_ = "refused: " + head_.status;
          return kHttpRefused;
        }
        std::uint64_t base = 0;
        if (head_.code == 206) {
          if (!head_.content_range) {
            error_ = "bad Content-Range.";
            DropConnection();
            return kHttpFail;
          }
          const ContentRange& cr = *head_.content_range;
          if (cr.first != request.rangeStart || cr.last > request.rangeEnd) {
            error_ = "Content-Range does not match the request.";
            DropConnection();
            return kHttpFail;
          }
          if (head_.content_length && !head_.chunked && *head_.content_length != cr.last - cr.first + 1) {
            error_ = "Content-Length does not match Content-Range.";
            DropConnection();
            return kHttpFail;
          }
          base = cr.first;
        }
        window.emplace(request.rangeStart, request.rangeEnd, base);
        parser.BeginBody(head_.code != 204 && head_.code != 101);
        continue;
      }
      if (state == HttpResponseParser::State::kError) {
        if (range_done) break;
        DropConnection();
        if (failure != 0) return failure;
        error_ = "bad response: " + parser.error();
        return kHttpFail;
      }
      if (state == HttpResponseParser::State::kDone) break;
    }
    if (request.sink != nullptr && !request.sink->OnSpeedControl(static_cast<std::uint32_t>(n))) {
      error_ = "speed control stop.";
      DropConnection();
      return kHttpSpeedStop;
    }
    if (parser.state() == HttpResponseParser::State::kDone || range_done) {
      // Bytes after the body, a body we stopped reading, or a server that
      // closes: the connection cannot carry the next request.
      bool clean = parser.state() == HttpResponseParser::State::kDone && used == static_cast<std::size_t>(n) &&
                   !head_.connection_close && !(head_.http10 && !head_.keep_alive) && !parser.body_until_close();
      if (!clean) DropConnection();
      break;
    }
  }
  if (!keep_body && !portion.empty()) {
    if (!request.sink->OnData(portion.data(), static_cast<std::uint32_t>(portion.size()),
                              static_cast<std::uint32_t>(portion_offset))) {
      DropConnection();
      return kHttpSinkRefused;
    }
  }
  if (keep_body && request.sink != nullptr && !body_.empty()) {
    if (!request.sink->OnData(body_.data(), static_cast<std::uint32_t>(body_.size()), request.rangeStart)) {
      DropConnection();
      return kHttpSinkRefused;
    }
  }
  (void)reused;
  return static_cast<std::int32_t>(std::min<std::uint64_t>(delivered, 0x7FFFFFFF));
}

std::int32_t HttpRequester::Post(const std::string& url, const std::string& authorization,
                                 const std::string& content_type, const std::string& body) {
  error_.clear();
  post_answer_.clear();
  HttpUrl parts;
  if (!SplitHttpUrl(url, parts) || body.size() > kMaxPostBodyBytes ||
      content_type.find_first_of("\r\n") != std::string::npos ||
      authorization.find_first_of("\r\n") != std::string::npos) {
    error_ = "bad post request.";
    ZLOG(log::kError, kModule, "http_post return Fail.");
    return kHttpFail;
  }
  RequestDescriptor limits;  // no time-outs beyond the no-progress limit
  start_ms_ = NowMs();
  last_data_ms_ = start_ms_;
  DropConnection();
  bool reused = false;
  std::int32_t rc = EnsureConnected(parts, limits, reused);
  if (rc != 0) {
    ZLOG(log::kError, kModule, "http_post return Fail.");
    return rc;
  }
  std::string text = "POST /" + parts.path + " HTTP/1.1\r\nHost: " + parts.host_field +
                     "\r\nAuthorization: Basic " + Base64(authorization) +
                     "\r\nConnection: Keep-Alive\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nContent-Type: " + content_type + "\r\n\r\n";
  ZLOG(log::kInfo, kModule, "HttpRequester::http_post send header:\n%s", text.c_str());
  text += body;
  rc = SendAll(text, limits);
  HttpResponseParser parser;
  std::string buffer(kHttpReadSize, '\0');
  while (rc == 0 && parser.state() != HttpResponseParser::State::kDone &&
         parser.state() != HttpResponseParser::State::kError) {
    std::int64_t n = socket_.Recv(buffer.data(), buffer.size());
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK) {
      rc = WaitReadable(limits, "recv_header timeout.");
      continue;
    }
    if (n <= 0) {
      parser.FeedEnd();
      break;
    }
    last_data_ms_ = NowMs();
    std::size_t used = 0;
    while (used < static_cast<std::size_t>(n) && parser.state() != HttpResponseParser::State::kDone &&
           parser.state() != HttpResponseParser::State::kError) {
      used += parser.Feed(buffer.data() + used, static_cast<std::size_t>(n) - used,
                          [this](const char* data, std::size_t size) {
                            if (post_answer_.size() + size > kMaxPostAnswerBytes) return false;
                            post_answer_.append(data, size);
                            return true;
                          });
      if (parser.state() == HttpResponseParser::State::kHeadDone) {
        int code = parser.head().code;
        parser.BeginBody(code / 100 == 2 && code != 204);
      }
    }
  }
  DropConnection();
  if (rc == 0 && parser.state() != HttpResponseParser::State::kDone) {
    error_ = "bad response: " + parser.error();
    rc = kHttpFail;
  }
  if (rc == 0) {
    head_ = parser.head();
    if (head_.code / 100 != 2) rc = kHttpRefused;
  }
  if (rc != 0) ZLOG(log::kError, kModule, "http_post return Fail.");
  return rc;
}

}  // namespace zelt
