#include <random>

#include "platform/clock.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"

namespace kestra::interactive {
namespace {

namespace net = platform::loopback;

// Ports the listening role draws from: 10000 + (r mod 55536) with r in 0-32767.
constexpr std::uint16_t kFirstPort = 10000;
constexpr int kRandomRange = 32768;
// Random ports tried before the system is asked for any free port.
constexpr int kMaxBindAttempts = 200;

}  // namespace

NetworkInteractive::NetworkInteractive(std::uint16_t port)
    : port_(port), listening_role_(port == 0) {}

NetworkInteractive::~NetworkInteractive() { Close(); }

bool NetworkInteractive::Open() {
  return listening_role_ ? OpenListening() : OpenConnecting();
}

namespace {

// One generator for the process, seeded once: two channels opened within the
// same millisecond must not draw the same port sequence.
std::uint16_t NextRandomPort() {
  static std::mutex mutex;
  static std::minstd_rand random(static_cast<std::uint32_t>(platform::clock::UnixSeconds()) ^
                                 (static_cast<std::uint32_t>(platform::process::CurrentPid()) << 16) ^
                                 static_cast<std::uint32_t>(platform::clock::SteadyMs()));
  std::uniform_int_distribution<int> draw(0, kRandomRange - 1);
  std::lock_guard lock(mutex);
  return static_cast<std::uint16_t>(kFirstPort + draw(random));
}

}  // namespace

bool NetworkInteractive::OpenListening() {
  std::lock_guard lock(mutex_);
  if (listen_socket_ != net::kInvalidSocket) return true;
  net::Socket socket = net::CreateTcp();
  if (socket == net::kInvalidSocket) return false;

  bool bound = false;
  for (int attempt = 0; attempt < kMaxBindAttempts && !bound; ++attempt) {
    bound = net::BindLoopback(socket, NextRandomPort());
  }
  // Every random port taken (or the random ones refused for another reason):
  // let the system pick one rather than searching for ever.
  if (!bound) bound = net::BindLoopback(socket, 0);
  std::optional<std::uint16_t> port = bound ? net::LocalPort(socket) : std::nullopt;
  if (!port || !net::Listen(socket, 1)) {
    net::ShutdownAndClose(socket);
    return false;
  }
  listen_socket_ = socket;
  port_ = *port;
  return true;
}

bool NetworkInteractive::OpenConnecting() {
  std::lock_guard lock(mutex_);
  if (connected_socket_ != net::kInvalidSocket) return true;
  net::Socket socket = net::ConnectLoopback(port_);
  if (socket == net::kInvalidSocket) return false;
  connected_socket_ = socket;
  return true;
}

bool NetworkInteractive::AcceptLocked() {
  if (listen_socket_ == net::kInvalidSocket) return false;
  // Refused peers are closed at once; look for a further waiting connection.
  for (int round = 0; round < 8; ++round) {
    net::Socket accepted = net::kInvalidSocket;
    switch (net::Accept(listen_socket_, accepted)) {
      case net::AcceptResult::Accepted:
        if (peer_pid_ != 0 && !net::IsPeerHeldBy(accepted, peer_pid_)) {
          net::ShutdownAndClose(accepted);
          ++refused_peers_;
          continue;
        }
        connected_socket_ = accepted;
        return true;
      case net::AcceptResult::RefusedPeer:
        ++refused_peers_;
        continue;
      case net::AcceptResult::NoneWaiting:
      case net::AcceptResult::Failed:
        return false;
    }
  }
  return false;
}

bool NetworkInteractive::ReadLine(std::string& line) {
  std::lock_guard lock(mutex_);
  if (connected_socket_ == net::kInvalidSocket && !AcceptLocked()) return false;
  if (!pending_.has_line() && net::IsReadable(connected_socket_, 0)) {
    char buffer[kReceiveChunkBytes];
    std::int64_t got = net::Receive(connected_socket_, buffer, sizeof buffer);
    if (got > 0) pending_.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
  }
  return pending_.Next(line);
}

bool NetworkInteractive::Write(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (connected_socket_ == net::kInvalidSocket) return false;
  std::int64_t sent = net::Send(connected_socket_, bytes.data(), bytes.size());
  return sent == static_cast<std::int64_t>(bytes.size());
}

void NetworkInteractive::Close() {
  std::lock_guard lock(mutex_);
  net::ShutdownAndClose(listen_socket_);
  net::ShutdownAndClose(connected_socket_);
}

std::uint16_t NetworkInteractive::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

bool NetworkInteractive::connected() const {
  std::lock_guard lock(mutex_);
  return connected_socket_ != net::kInvalidSocket;
}

void NetworkInteractive::SetPeerProcess(int pid) {
  std::lock_guard lock(mutex_);
  peer_pid_ = pid;
}

std::uint64_t NetworkInteractive::refused_peers() const {
  std::lock_guard lock(mutex_);
  return refused_peers_;
}

}  // namespace kestra::interactive
