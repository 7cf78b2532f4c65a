#include "tests/support/script_server.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "platform/clock.h"
#include "tests/support/wait_until.h"

namespace kestra::test {

namespace net = platform::net;

namespace {
constexpr int kSliceMs = 10;
constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kMaxRequestBody = 1 << 20;
constexpr int kReadRequestLimitMs = 10000;
constexpr std::size_t kSendPiece = 64 * 1024;
constexpr int kSendPieceLimitMs = 10000;
// Content-Length of a request head; 0 when absent or unreadable.
std::size_t ContentLength(std::string_view head) {
  constexpr std::string_view kName = "content-length:";
  for (std::size_t pos = 0; pos < head.size();) {
    std::size_t eol = head.find("\r\n", pos);
    std::string_view line = head.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
    if (line.size() > kName.size() &&
        std::equal(kName.begin(), kName.end(), line.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
      std::size_t value = 0;
      for (char c : line.substr(kName.size())) {
        if (c == ' ') continue;
        if (c < '0' || c > '9') break;
        value = std::min(kMaxRequestBody, value * 10 + static_cast<std::size_t>(c - '0'));
      }
      return value;
    }
    if (eol == std::string_view::npos) break;
    pos = eol + 2;
  }
  return 0;
}

}  // namespace

std::uint16_t UnusedLoopbackPort() {
  net::Socket probe;
  if (!probe.OpenTcp() || !probe.Bind(net::Address{net::kLoopbackIpv4, 0})) return 0;
  auto local = probe.LocalAddress();
  return local ? local->port : 0;
}

Script Script::Answer(std::string response) {
  Script script;
  script.ReadRequest().Send(std::move(response));
  return script;
}

Script& Script::ReadRequest() {
  steps_.push_back({ScriptStep::Kind::ReadRequest, {}, 0, 1});
  return *this;
}
Script& Script::Send(std::string bytes) {
  steps_.push_back({ScriptStep::Kind::Send, std::move(bytes), 0, 1});
  return *this;
}
Script& Script::Drip(std::string bytes, int interval_ms, std::size_t piece) {
  steps_.push_back({ScriptStep::Kind::Drip, std::move(bytes), interval_ms, std::max<std::size_t>(piece, 1)});
  return *this;
}
Script& Script::Sleep(int ms) {
  steps_.push_back({ScriptStep::Kind::Sleep, {}, ms, 1});
  return *this;
}
Script& Script::Hold(int ms) {
  steps_.push_back({ScriptStep::Kind::Hold, {}, ms, 1});
  return *this;
}
Script& Script::Reset() {
  steps_.push_back({ScriptStep::Kind::Reset, {}, 0, 1});
  return *this;
}

ScriptServer::ScriptServer(Script script) : ScriptServer(std::vector<Script>{std::move(script)}) {}

ScriptServer::ScriptServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
  if (scripts_.empty()) scripts_.emplace_back();
  listener_ = net::ListenTcp(net::Address{net::kLoopbackIpv4, 0});
  if (!listener_.IsOpen())
    throw std::runtime_error("script server: cannot listen on 127.0.0.1 (socket error " +
                             std::to_string(net::LastError()) + ")");
  auto local = listener_.LocalAddress();
  if (!local) throw std::runtime_error("script server: no local address");
  port_ = local->port;
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptServer::~ScriptServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  // No new workers start once the acceptor has ended.
  for (std::thread& worker : workers_)
    if (worker.joinable()) worker.join();
}

std::string ScriptServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + port_text() + std::string(path);
}

std::string ScriptServer::received(int connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connection < 0 || connection >= static_cast<int>(connections_.size())) return {};
  return connections_[connection]->received;
}

bool ScriptServer::WaitFinished(int count, int timeout_ms) const {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        int finished = 0;
        for (const auto& c : connections_) finished += c->finished ? 1 : 0;
        return finished >= count;
      },
      timeout_ms, kSliceMs);
}

std::vector<CapturedRequest> ScriptServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<CapturedRequest> ScriptServer::WaitForRequests(std::size_t n, int timeout_ms) const {
  WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_.size() >= n;
      },
      timeout_ms);
  return Requests();
}

bool ScriptServer::Pause(int ms) const {
  const std::uint64_t deadline = platform::clock::SteadyMs() + static_cast<std::uint64_t>(std::max(ms, 0));
  while (!Stopping()) {
    const std::uint64_t now = platform::clock::SteadyMs();
    if (now >= deadline) return true;
    platform::clock::SleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(kSliceMs, deadline - now)));
  }
  return false;
}

void ScriptServer::Record(int index, const char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_[index]->received.append(data, size);
}

void ScriptServer::AcceptLoop() {
  while (!Stopping()) {
    net::Socket client = net::AcceptWithin(listener_, kSliceMs * 5);
    if (!client.IsOpen()) continue;
    int index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = static_cast<int>(connections_.size());
      connections_.push_back(std::make_unique<Connection>());
    }
    ++accepted_;
    const Script& script = scripts_[std::min<std::size_t>(index, scripts_.size() - 1)];
    workers_.emplace_back([this, socket = std::move(client), &script, index]() mutable {
      Play(std::move(socket), script, index);
    });
  }
  listener_.Close();
}

void ScriptServer::Play(net::Socket socket, const Script& script, int index) {
  char buffer[4096];
  bool reset = false;
  bool alive = true;
  for (const ScriptStep& step : script.steps()) {
    if (!alive || Stopping()) break;
    switch (step.kind) {
      case ScriptStep::Kind::ReadRequest: {
        std::string data;
        std::size_t head_end = std::string::npos;
        std::size_t wanted = SIZE_MAX;  // head + blank line + body, once the head is known
        const std::uint64_t deadline = platform::clock::SteadyMs() + kReadRequestLimitMs;
        while (data.size() < wanted && !Stopping() && platform::clock::SteadyMs() < deadline) {
          if (head_end == std::string::npos && data.size() >= kMaxRequestHead) break;
          std::int64_t n = net::RecvWithin(socket, buffer, sizeof buffer, kSliceMs * 5);
          if (n > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
            Record(index, buffer, static_cast<std::size_t>(n));
            if (head_end == std::string::npos && (head_end = data.find("\r\n\r\n")) != std::string::npos) {
              wanted = head_end + 4 + ContentLength(std::string_view(data).substr(0, head_end));
            }
          } else if (n == 0 || net::LastError() != net::kWSAETIMEDOUT) {
            alive = false;  // the peer closed or the connection broke
            break;
          }
        }
        if (head_end != std::string::npos) {
          CapturedRequest request;
          std::size_t first_eol = data.find("\r\n");
          request.request_line = data.substr(0, first_eol);
          if (first_eol < head_end) request.headers = data.substr(first_eol + 2, head_end - first_eol - 2);
          request.body = data.substr(head_end + 4, wanted - head_end - 4);
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(std::move(request));
        }
        break;
      }
      case ScriptStep::Kind::Send:
        for (std::size_t at = 0; alive && at < step.bytes.size() && !Stopping(); at += kSendPiece) {
          std::string_view piece = std::string_view(step.bytes).substr(at, kSendPiece);
          alive = net::SendAll(socket, piece, kSendPieceLimitMs);
        }
        break;
      case ScriptStep::Kind::Drip:
        for (std::size_t at = 0; alive && at < step.bytes.size(); at += step.piece) {
          std::string_view piece = std::string_view(step.bytes).substr(at, step.piece);
          alive = net::SendAll(socket, piece, kSendPieceLimitMs) && Pause(step.ms);
        }
        break;
      case ScriptStep::Kind::Sleep:
        alive = Pause(step.ms);
        break;
      case ScriptStep::Kind::Hold: {
        const std::uint64_t deadline =
            step.ms < 0 ? UINT64_MAX : platform::clock::SteadyMs() + static_cast<std::uint64_t>(step.ms);
        while (!Stopping() && platform::clock::SteadyMs() < deadline) {
          std::int64_t n = net::RecvWithin(socket, buffer, sizeof buffer, kSliceMs * 5);
          if (n > 0) {
            Record(index, buffer, static_cast<std::size_t>(n));
          } else if (n == 0 || net::LastError() != net::kWSAETIMEDOUT) {
            alive = false;  // the peer closed or the connection broke
            break;
          }
        }
        break;
      }
      case ScriptStep::Kind::Reset:
        socket.SetAbortiveClose();
        reset = true;
        alive = false;
        break;
    }
  }
  if (!reset && socket.IsOpen()) {
    // Take in what is still waiting, so that closing sends a FIN, not a reset.
    socket.SetNonBlocking(true);
    std::int64_t n;
    while ((n = socket.Recv(buffer, sizeof buffer)) > 0) Record(index, buffer, static_cast<std::size_t>(n));
    socket.ShutdownWrite();
  }
  socket.Close();
  std::lock_guard<std::mutex> lock(mutex_);
  connections_[index]->finished = true;
}

}  // namespace kestra::test
