#include "tests/support/http_capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kestra::test {
namespace {

constexpr std::size_t kMaxRequestBytes = 1 << 20;

int BindLoopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int UnusedLoopbackPort() {
  int port = 0;
  int fd = BindLoopback(port);
  if (fd >= 0) ::close(fd);
  return port;
}

HttpCapture::HttpCapture(std::string response) : response_(std::move(response)) {
  listen_fd_ = BindLoopback(port_);
  if (listen_fd_ < 0 || ::listen(listen_fd_, 16) != 0) throw std::runtime_error("cannot listen");
  thread_ = std::thread([this] { Serve(); });
}

HttpCapture::~HttpCapture() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

std::string HttpCapture::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpCapture::Serve() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Handle(fd);
    ::close(fd);
  }
}

void HttpCapture::Handle(int fd) {
  std::string data;
  std::size_t header_end = std::string::npos;
  std::size_t content_length = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return;
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > kMaxRequestBytes) return;
    if (header_end == std::string::npos) {
      header_end = data.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        std::string head = data.substr(0, header_end);
        for (std::size_t pos = 0; pos < head.size();) {
          std::size_t eol = head.find("\r\n", pos);
          std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
          if (line.size() > 15 && strncasecmp(line.c_str(), "content-length:", 15) == 0)
            content_length = std::strtoul(line.c_str() + 15, nullptr, 10);
          if (eol == std::string::npos) break;
          pos = eol + 2;
        }
      }
    }
    if (header_end != std::string::npos && data.size() >= header_end + 4 + content_length) break;
  }
  CapturedRequest r;
  std::size_t first_eol = data.find("\r\n");
  r.request_line = data.substr(0, first_eol);
  r.headers = data.substr(first_eol + 2, header_end - first_eol - 2);
  r.body = data.substr(header_end + 4, content_length);
  ::send(fd, response_.data(), response_.size(), MSG_NOSIGNAL);
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(r));
  cv_.notify_all();
}

std::vector<CapturedRequest> HttpCapture::WaitFor(std::size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= n; });
  return requests_;
}

std::vector<CapturedRequest> HttpCapture::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace kestra::test
