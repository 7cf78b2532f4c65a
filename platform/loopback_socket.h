// TCP sockets on the loopback interface only: what the control channel
// between the updater and the downloader core needs. Nothing here can bind or
// reach an address outside 127.0.0.0/8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::loopback {

using Socket = int;
inline constexpr Socket kInvalidSocket = -1;

// A TCP socket, close-on-exec; kInvalidSocket on failure.
Socket CreateTcp();
// Binds 127.0.0.1:port (0: the system picks a free port).
bool BindLoopback(Socket socket, std::uint16_t port);
bool Listen(Socket socket, int backlog);
// The port the socket is bound to.
std::optional<std::uint16_t> LocalPort(Socket socket);

// Waits at most timeout_ms (0: just looks) for the socket to become readable
// (for a listening socket: a connection is waiting).
bool IsReadable(Socket socket, int timeout_ms);

enum class AcceptResult { Accepted, NoneWaiting, RefusedPeer, Failed };
// Accepts one waiting connection without blocking. A peer whose address is
// not in 127.0.0.0/8 is closed at once and reported as RefusedPeer.
AcceptResult Accept(Socket listener, Socket& accepted);

// True when the far end of an accepted loopback connection is a socket held
// by process pid (found through /proc/net/tcp and /proc/PID/fd). When the
// system does not let us look, the answer is true: nothing can be told.
bool IsPeerHeldBy(Socket accepted, int pid);

// A new socket connected to 127.0.0.1:port; kInvalidSocket on failure.
Socket ConnectLoopback(std::uint16_t port, int timeout_ms = 5000);

// Bytes received (> 0), 0 when the peer has closed, -1 on error. Never raises
// a signal.
std::int64_t Receive(Socket socket, void* buffer, std::size_t size);
// Sends the bytes, waiting at most timeout_ms in all for room in the socket's
// buffer (a peer that never reads cannot block us for longer); returns the
// number of bytes sent (size when all went out) or -1 when nothing could be
// sent. Never raises a signal (a closed peer gives -1, not SIGPIPE).
inline constexpr int kDefaultSendTimeoutMs = 1000;
std::int64_t Send(Socket socket, const void* data, std::size_t size,
                  int timeout_ms = kDefaultSendTimeoutMs);

// Shuts both directions down and closes; sets socket to kInvalidSocket.
void ShutdownAndClose(Socket& socket);

// errno of this thread's last failed call.
int LastError();

}  // namespace platform::loopback
