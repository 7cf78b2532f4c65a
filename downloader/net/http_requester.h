// The downloader core's HTTP client: GET with a byte range, time-outs and
// redirects, body handed to a sink in portions or kept in memory, and a POST
// with Basic authorization. One requester serves one thread at a time; it
// keeps its connection open between requests to the same host and port.
//
// A server's answer is not trusted: body bytes are only delivered for
// offsets inside the requested range, each at its own offset (a 200 with the
// whole file is cut down to the range; a 206 whose Content-Range starts
// elsewhere than asked, or disagrees with Content-Length, fails), and bytes
// beyond the announced body are never taken as part of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "downloader/net/http_response.h"
#include "platform/net.h"

namespace zelt {

inline constexpr std::uint32_t kHttpNoLimit = 0xFFFFFFFFu;

// Results of Get.
inline constexpr std::int32_t kHttpFail = -1;        // error text says why
inline constexpr std::int32_t kHttpRefused = -2;     // status not 1xx-3xx
inline constexpr std::int32_t kHttpTimeout = -3;     // the descriptor's idle or total time-out
inline constexpr std::int32_t kHttpSpeedStop = -4;   // OnSpeedControl said stop
inline constexpr std::int32_t kHttpSinkRefused = -5; // OnData refused
inline constexpr std::int32_t kHttpStopped = -6;     // Stop() was called

class HttpRequester;

class HttpCallback {  // sink of one request
 public:
  virtual ~HttpCallback() = default;
  virtual void SetRequestInfo(std::uint32_t /*file_id*/, std::uint32_t /*offset*/) {}
  virtual bool OnSpeedControl(std::uint32_t /*bytes*/) { return true; }  // false: stop (-4)
  // Body bytes at their file offset; portions of chunkSize bytes starting at
  // rangeStart (the last one, at the end of the body, may be shorter; a
  // failed transfer drops its unfinished portion). false: -5.
  virtual bool OnData(const char* data, std::uint32_t length, std::uint32_t file_offset) = 0;
  virtual void OnRecvHead(const std::string& /*header*/, const std::string& /*status*/,
                          std::uint64_t /*content_length*/) {}
  virtual void OnFinish(HttpRequester& /*requester*/, std::int32_t /*result*/) {}
};

struct RequestDescriptor {
  std::string url;
  std::uint32_t rangeStart = 0, rangeEnd = kHttpNoLimit;
  std::uint32_t idleTimeout = kHttpNoLimit, totalTimeout = kHttpNoLimit;
  std::uint32_t chunkSize = kHttpNoLimit;  // kHttpNoLimit: keep the whole body (Body())
  HttpCallback* sink = nullptr;
};

// "http://host[:port]/path" split into its parts; false for anything else.
struct HttpUrl {
  std::string host;  // without the port
  std::uint16_t port = 80;
  std::string host_field;  // host with ":port" as written, for the Host field
  std::string path;        // after the first "/" (without it)
};
bool SplitHttpUrl(const std::string& url, HttpUrl& out);

// Standard Base64 (for "user:password").
std::string Base64(const std::string& bytes);

class HttpRequester {
 public:
  HttpRequester() = default;
  ~HttpRequester();
  HttpRequester(const HttpRequester&) = delete;
  HttpRequester& operator=(const HttpRequester&) = delete;

  std::int32_t Get(const RequestDescriptor& request);  // >= 0 body bytes; -1..-6
  const std::string& Body() const { return body_; }     // body when chunkSize == kHttpNoLimit
  const std::string& HeaderText() const { return head_.text; }
  const std::string& ErrorText() const { return error_; }
  void Stop();   // the next wait ends with -6 (and so does every later request)
  void Close();  // closes the socket (from any thread: a blocking receive ends)
  std::int32_t Post(const std::string& url, const std::string& authorization,
                    const std::string& content_type, const std::string& body);  // 0 ok

  // How many connections this requester has opened (tests see reuse).
  std::uint32_t connections_opened() const { return connections_opened_; }
  // Reads of the response after Post (empty when none came).
  const std::string& PostAnswer() const { return post_answer_; }

 private:
  struct Attempt;
  std::int32_t GetOnce(const RequestDescriptor& request, const HttpUrl& url, std::string& redirect);
  std::int32_t Transfer(const RequestDescriptor& request, const HttpUrl& url, std::string& redirect,
                        bool reused, bool& retry_fresh);
  // Opens the connection to the url's host (reusing an open one to the same
  // host and port); -1/-3/-6 on failure.
  std::int32_t EnsureConnected(const HttpUrl& url, const RequestDescriptor& request, bool& reused);
  std::int32_t SendAll(const std::string& data, const RequestDescriptor& request);
  // Waits until the socket is readable; 0 ready, else a result.
  std::int32_t WaitReadable(const RequestDescriptor& request, const char* timeout_text);
  void DropConnection();
  std::uint64_t Elapsed() const;

  platform::net::Socket socket_;
  std::mutex socket_mutex_;  // guards the handle against Close from another thread
  std::atomic<bool> closed_by_other_{false};
  std::atomic<bool> stop_{false};
  std::string connected_host_;
  std::uint16_t connected_port_ = 0;
  std::uint32_t connections_opened_ = 0;

  ResponseHead head_;
  std::string body_;
  std::string error_;
  std::string post_answer_;
  std::uint64_t start_ms_ = 0;
  std::uint64_t last_data_ms_ = 0;
};

}  // namespace zelt
