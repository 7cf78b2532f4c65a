// A small HTTP server on 127.0.0.1 for tests: it records every request it
// receives (request line, headers, body) and answers each with a fixed
// response.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestra::test {

struct CapturedRequest {
  std::string request_line;
  std::string headers;  // raw header block
  std::string body;
};

class HttpCapture {
 public:
  explicit HttpCapture(std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  ~HttpCapture();
  HttpCapture(const HttpCapture&) = delete;
  HttpCapture& operator=(const HttpCapture&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& path) const;

  // Waits until at least n requests arrived or timeout_ms passed.
  std::vector<CapturedRequest> WaitFor(std::size_t n, int timeout_ms);
  std::vector<CapturedRequest> Requests();

 private:
  void Serve();
  void Handle(int fd);

  std::string response_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<CapturedRequest> requests_;
  std::thread thread_;
};

// A loopback port on which nothing listens (bound, then closed).
int UnusedLoopbackPort();

}  // namespace kestra::test
