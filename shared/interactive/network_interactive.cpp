#include <random>

#include "platform/clock.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"

namespace kestra::interactive {
namespace {

namespace net = platform::net;

// Ports the listening role draws from: 10000 + (r mod 55536) with r in 0-32767.
constexpr std::uint16_t kFirstPort = 10000;
constexpr int kRandomRange = 32768;
// Random ports tried before the system is asked for any free port.
constexpr int kMaxBindAttempts = 200;
// Longest a Write waits for room: a peer that stops reading cannot hold the
// caller (the updater's worker or its UI thread) for longer.
constexpr int kSendTimeoutMs = 1000;
// Longest the connecting role waits for the listener to answer.
constexpr int kConnectTimeoutMs = 5000;

net::Address Loopback(std::uint16_t port) { return net::Address{net::kLoopbackIpv4, port}; }

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
  if (listen_socket_.IsOpen()) return true;
  net::Socket socket;
  if (!socket.OpenTcp()) return false;

  bool bound = false;
  for (int attempt = 0; attempt < kMaxBindAttempts && !bound; ++attempt) {
    bound = socket.Bind(Loopback(NextRandomPort()));
  }
  // Every random port taken (or the random ones refused for another reason):
  // let the system pick one rather than searching for ever.
  if (!bound) bound = socket.Bind(Loopback(0));
  std::optional<net::Address> local = bound ? socket.LocalAddress() : std::nullopt;
  // Non-blocking, so that a connection that vanishes between the look and
  // the accept cannot block ReadLine.
  if (!local || !socket.Listen(1) || !socket.SetNonBlocking(true)) return false;
  listen_socket_ = std::move(socket);
  port_ = local->port;
  return true;
}

bool NetworkInteractive::OpenConnecting() {
  std::lock_guard lock(mutex_);
  if (connected_socket_.IsOpen()) return true;
  net::Socket socket = net::ConnectTcp(Loopback(port_), kConnectTimeoutMs);
  if (!socket.IsOpen()) return false;
  connected_socket_ = std::move(socket);
  return true;
}

bool NetworkInteractive::AcceptLocked() {
  if (!listen_socket_.IsOpen()) return false;
  // Refused peers are closed at once; look for a further waiting connection.
  for (int round = 0; round < 8; ++round) {
    net::Socket accepted;
    switch (net::AcceptLoopbackPeer(listen_socket_, accepted)) {
      case net::AcceptResult::Accepted:
        if (peer_pid_ != 0 && !net::IsPeerHeldBy(accepted, peer_pid_)) {
          accepted.Shutdown();
          ++refused_peers_;
          continue;
        }
        connected_socket_ = std::move(accepted);
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
  if (!connected_socket_.IsOpen() && !AcceptLocked()) return false;
  if (!pending_.has_line()) {
    char buffer[kReceiveChunkBytes];
    std::int64_t got = connected_socket_.RecvNow(buffer, sizeof buffer);
    if (got > 0) pending_.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
  }
  return pending_.Next(line);
}

bool NetworkInteractive::Write(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  // A peer that has connected but was not taken yet gets the line too: a
  // command written before the first read is not lost.
  if (!connected_socket_.IsOpen() && !AcceptLocked()) return false;
  return net::SendAll(connected_socket_, bytes, kSendTimeoutMs);
}

void NetworkInteractive::Close() {
  std::lock_guard lock(mutex_);
  for (net::Socket* socket : {&listen_socket_, &connected_socket_}) {
    if (!socket->IsOpen()) continue;
    socket->Shutdown();
    socket->Close();
  }
}

std::uint16_t NetworkInteractive::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

bool NetworkInteractive::connected() const {
  std::lock_guard lock(mutex_);
  return connected_socket_.IsOpen();
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
