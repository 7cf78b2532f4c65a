#include "platform/loopback_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::loopback {
namespace {

thread_local int g_last_error = 0;

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool Fail() {
  g_last_error = errno;
  return false;
}

bool IsLoopbackPeer(const sockaddr_storage& peer) {
  if (peer.ss_family != AF_INET) return false;
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
  return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
}

// poll() on one descriptor, retrying when a signal interrupts it.
int PollOne(int fd, short events, int timeout_ms) {
  pollfd entry{fd, events, 0};
  for (;;) {
    int result = ::poll(&entry, 1, timeout_ms);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return result;
    return entry.revents;
  }
}

}  // namespace

Socket CreateTcp() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail();
  return fd < 0 ? kInvalidSocket : fd;
}

bool BindLoopback(Socket socket, std::uint16_t port) {
  if (socket < 0) return false;
  sockaddr_in address = LoopbackAddress(port);
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Fail();
  return true;
}

bool Listen(Socket socket, int backlog) {
  if (socket < 0) return false;
  if (::listen(socket, backlog) != 0) return Fail();
  return true;
}

std::optional<std::uint16_t> LocalPort(Socket socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (socket < 0 ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    Fail();
    return std::nullopt;
  }
  return ntohs(address.sin_port);
}

bool IsReadable(Socket socket, int timeout_ms) {
  if (socket < 0) return false;
  int revents = PollOne(socket, POLLIN, timeout_ms);
  if (revents < 0) return Fail();
  // A hang-up or error also counts: the next receive reports it at once.
  return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

AcceptResult Accept(Socket listener, Socket& accepted) {
  accepted = kInvalidSocket;
  if (listener < 0) return AcceptResult::Failed;
  if (!IsReadable(listener, 0)) return AcceptResult::NoneWaiting;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int fd;
  do {
    fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                   SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
               ? AcceptResult::NoneWaiting
               : AcceptResult::Failed;
  }
  if (!IsLoopbackPeer(peer)) {
    ::close(fd);
    return AcceptResult::RefusedPeer;
  }
  // Blocking again: sends must deliver whole commands; reads are only made
  // after IsReadable.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  accepted = fd;
  return AcceptResult::Accepted;
}

namespace {

// The inode of the IPv4 TCP socket from 127.0.0.1:local_port to
// 127.0.0.1:remote_port; 0 when there is none; nullopt when the table cannot
// be read.
std::optional<unsigned long> LoopbackSocketInode(std::uint16_t local_port,
                                                 std::uint16_t remote_port) {
  FILE* table = std::fopen("/proc/net/tcp", "re");
  if (table == nullptr) return std::nullopt;
  char wanted_local[32], wanted_remote[32];
  std::snprintf(wanted_local, sizeof wanted_local, "0100007F:%04X", local_port);
  std::snprintf(wanted_remote, sizeof wanted_remote, "0100007F:%04X", remote_port);
  char line[512];
  unsigned long found = 0;
  bool header = true;
  while (found == 0 && std::fgets(line, sizeof line, table) != nullptr) {
    if (header) {
      header = false;
      continue;
    }
    char local[64], remote[64];
    unsigned long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %*s %*s %lu", local, remote, &inode) ==
            3 &&
        std::strcmp(local, wanted_local) == 0 && std::strcmp(remote, wanted_remote) == 0) {
      found = inode;
    }
  }
  std::fclose(table);
  return found;
}

}  // namespace

bool IsPeerHeldBy(Socket accepted, int pid) {
  if (accepted < 0 || pid <= 0) return false;
  sockaddr_in ours{}, theirs{};
  socklen_t length = sizeof ours;
  if (::getsockname(accepted, reinterpret_cast<sockaddr*>(&ours), &length) != 0) return false;
  length = sizeof theirs;
  if (::getpeername(accepted, reinterpret_cast<sockaddr*>(&theirs), &length) != 0) return false;
  // Their socket is the one from their port to ours.
  auto inode = LoopbackSocketInode(ntohs(theirs.sin_port), ntohs(ours.sin_port));
  if (!inode) return true;
  if (*inode == 0) return false;
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(fd_dir.c_str());
  if (dir == nullptr) return errno == EACCES;
  const std::string wanted = "socket:[" + std::to_string(*inode) + "]";
  bool held = false;
  while (!held) {
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (entry->d_name[0] == '.') continue;
    char target[64];
    ssize_t size = ::readlink((fd_dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    if (size <= 0) continue;
    target[size] = '\0';
    held = wanted == target;
  }
  ::closedir(dir);
  return held;
}

Socket ConnectLoopback(std::uint16_t port, int timeout_ms) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  sockaddr_in address = LoopbackAddress(port);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (result != 0 && errno == EINPROGRESS) {
    int revents = PollOne(fd, POLLOUT, timeout_ms);
    int error = 0;
    socklen_t length = sizeof error;
    if (revents > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
        error == 0) {
      result = 0;
    } else {
      errno = revents == 0 ? ETIMEDOUT : (error != 0 ? error : errno);
    }
  }
  if (result != 0) {
    Fail();
    ::close(fd);
    return kInvalidSocket;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

std::int64_t Receive(Socket socket, void* buffer, std::size_t size) {
  if (socket < 0) return -1;
  ssize_t result;
  do {
    result = ::recv(socket, buffer, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    Fail();
    return -1;
  }
  return result;
}

std::int64_t Send(Socket socket, const void* data, std::size_t size, int timeout_ms) {
  if (socket < 0) return -1;
  const char* bytes = static_cast<const char*>(data);
  std::size_t sent = 0;
  int waited_ms = 0;
  constexpr int kWaitStepMs = 20;
  while (sent < size) {
    ssize_t result = ::send(socket, bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (result > 0) {
      sent += static_cast<std::size_t>(result);
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waited_ms < timeout_ms) {
      PollOne(socket, POLLOUT, kWaitStepMs);
      waited_ms += kWaitStepMs;
      continue;
    }
    Fail();
    break;
  }
  if (sent == 0 && size > 0) return -1;
  return static_cast<std::int64_t>(sent);
}

void ShutdownAndClose(Socket& socket) {
  if (socket < 0) return;
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  socket = kInvalidSocket;
}

int LastError() { return g_last_error; }

}  // namespace platform::loopback
