#include "platform/net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace platform::net {

namespace {

thread_local int g_last_error = 0;

// Stores the Windows Sockets code for the current errno; returns -1 so
// callers can `return FailFromErrno();`.
int FailFromErrno() {
  g_last_error = ErrorFromErrno(errno);
  return -1;
}

sockaddr_in ToSockaddr(const Address& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(address.port);
  sa.sin_addr.s_addr = htonl(address.ip);
  return sa;
}

Address FromSockaddr(const sockaddr_in& sa) {
  return Address{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

std::int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Milliseconds to the microseconds of Poll; negative stays "for ever".
std::int64_t MsToUs(int timeout_ms) {
  return timeout_ms < 0 ? -1 : static_cast<std::int64_t>(timeout_ms) * 1000;
}

}  // namespace

int LastError() { return g_last_error; }
void SetLastError(int code) { g_last_error = code; }

int ErrorFromErrno(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return kWSAEINTR;
    case EBADF: return kWSAENOTSOCK;
    case EACCES:
    case EPERM: return kWSAEACCES;
    case EFAULT: return kWSAEFAULT;
    case EINVAL: return kWSAEINVAL;
    case EMFILE:
    case ENFILE: return kWSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN: return kWSAEWOULDBLOCK;
    case EINPROGRESS: return kWSAEINPROGRESS;
    case EALREADY: return kWSAEALREADY;
    case ENOTSOCK: return kWSAENOTSOCK;
    case EDESTADDRREQ: return kWSAEDESTADDRREQ;
    case EMSGSIZE: return kWSAEMSGSIZE;
    case EPROTOTYPE: return kWSAEPROTOTYPE;
    case ENOPROTOOPT: return kWSAENOPROTOOPT;
    case EPROTONOSUPPORT: return kWSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return kWSAESOCKTNOSUPPORT;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case EOPNOTSUPP: return kWSAEOPNOTSUPP;
    case EPFNOSUPPORT: return kWSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return kWSAEAFNOSUPPORT;
    case EADDRINUSE: return kWSAEADDRINUSE;
    case EADDRNOTAVAIL: return kWSAEADDRNOTAVAIL;
    case ENETDOWN: return kWSAENETDOWN;
    case ENETUNREACH: return kWSAENETUNREACH;
    case ENETRESET: return kWSAENETRESET;
    case ECONNABORTED: return kWSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return kWSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return kWSAENOBUFS;
    case EISCONN: return kWSAEISCONN;
    case ENOTCONN: return kWSAENOTCONN;
    case ESHUTDOWN: return kWSAESHUTDOWN;
    case ETIMEDOUT: return kWSAETIMEDOUT;
    case ECONNREFUSED: return kWSAECONNREFUSED;
    case ELOOP: return kWSAELOOP;
    case ENAMETOOLONG: return kWSAENAMETOOLONG;
    case EHOSTDOWN: return kWSAEHOSTDOWN;
    case EHOSTUNREACH: return kWSAEHOSTUNREACH;
    default: return e;
  }
}

int ErrorFromResolver(int eai_code, int errno_value) {
  switch (eai_code) {
    case 0: return 0;
    case EAI_NONAME: return kWSAHOST_NOT_FOUND;
    case EAI_AGAIN: return kWSATRY_AGAIN;
    case EAI_FAIL: return kWSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return kWSANO_DATA;
    case EAI_MEMORY: return kWSAENOBUFS;
    case EAI_FAMILY: return kWSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return kWSAESOCKTNOSUPPORT;
    case EAI_SYSTEM: return ErrorFromErrno(errno_value);
    default: return kWSANO_RECOVERY;
  }
}

std::string Address::IpText() const {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                (ip >> 8) & 0xFF, ip & 0xFF);
  return text;
}

std::string Address::ToString() const { return IpText() + ":" + std::to_string(port); }

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  // inet_aton stops at white space; a numeric address has nothing after it.
  if (text.find_first_not_of("0123456789abcdefABCDEFxX.") != std::string_view::npos)
    return std::nullopt;
  std::string copy(text);  // inet_aton wants a terminated string
  in_addr addr{};
  if (inet_aton(copy.c_str(), &addr) == 0) return std::nullopt;
  return ntohl(addr.s_addr);
}

std::optional<std::uint32_t> ResolveIpv4(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostName ||
      host.find('\0') != std::string_view::npos) {
    g_last_error = kWSAHOST_NOT_FOUND;
    return std::nullopt;
  }
  std::string name(host);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) {
    g_last_error = ErrorFromResolver(rc, errno);
    return std::nullopt;
  }
  std::optional<std::uint32_t> ip;
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      ip = ntohl(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
      break;
    }
  }
  freeaddrinfo(result);
  if (!ip) g_last_error = kWSANO_DATA;
  return ip;
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

int Poll(std::span<PollEntry> entries, std::int64_t timeout_us) {
  std::vector<pollfd> fds(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    fds[i].fd = entries[i].handle;
    fds[i].events = 0;
    if (entries[i].want & kReadable) fds[i].events |= POLLIN;
    if (entries[i].want & kWritable) fds[i].events |= POLLOUT;
    entries[i].ready = 0;
  }
  const std::int64_t deadline = timeout_us < 0 ? 0 : NowUs() + timeout_us;
  for (;;) {
    timespec ts{};
    timespec* limit = nullptr;
    if (timeout_us >= 0) {
      std::int64_t left = deadline - NowUs();
      if (left < 0) left = 0;
      ts.tv_sec = static_cast<time_t>(left / 1000000);
      ts.tv_nsec = static_cast<long>((left % 1000000) * 1000);
      limit = &ts;
    }
    int rc = ppoll(fds.data(), fds.size(), limit, nullptr);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return FailFromErrno();
    }
    if (rc == 0) {
      g_last_error = kWSAETIMEDOUT;
      return 0;
    }
    int ready = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const short got = fds[i].revents;
      if (got & POLLNVAL) {
        g_last_error = kWSAENOTSOCK;
        return -1;
      }
      unsigned flags = 0;
      // A failed or closed socket counts as ready for what was asked, so the
      // next call on it reports the outcome.
      const bool broken = (got & (POLLERR | POLLHUP)) != 0;
      if ((got & POLLIN) || (broken && (entries[i].want & kReadable))) flags |= kReadable;
      if ((got & POLLOUT) || (broken && (entries[i].want & kWritable))) flags |= kWritable;
      if (broken) flags |= kHangUp;
      entries[i].ready = flags;
      if (flags != 0) ++ready;
    }
    return ready;
  }
}

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : handle_(other.Release()) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.Release();
  }
  return *this;
}

bool Socket::OpenTcp() {
  Close();
  handle_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle_ < 0) {
    handle_ = kInvalidHandle;
    FailFromErrno();
    return false;
  }
  return true;
}

bool Socket::OpenUdp() {
  Close();
  handle_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (handle_ < 0) {
    handle_ = kInvalidHandle;
    FailFromErrno();
    return false;
  }
  return true;
}

Handle Socket::Release() {
  Handle h = handle_;
  handle_ = kInvalidHandle;
  return h;
}

void Socket::Close() {
  if (handle_ != kInvalidHandle) {
    ::close(handle_);
    handle_ = kInvalidHandle;
  }
}

bool Socket::SetNonBlocking(bool on) {
  int flags = ::fcntl(handle_, F_GETFL, 0);
  if (flags < 0) return FailFromErrno(), false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(handle_, F_SETFL, flags) < 0) return FailFromErrno(), false;
  return true;
}

bool Socket::SetReuseAddress(bool on) {
  int value = on ? 1 : 0;
  if (::setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) < 0)
    return FailFromErrno(), false;
  return true;
}

bool Socket::SetNoDelay(bool on) {
  int value = on ? 1 : 0;
  if (::setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) < 0)
    return FailFromErrno(), false;
  return true;
}

bool Socket::SetAbortiveClose() {
  linger value{};
  value.l_onoff = 1;
  value.l_linger = 0;
  if (::setsockopt(handle_, SOL_SOCKET, SO_LINGER, &value, sizeof value) < 0)
    return FailFromErrno(), false;
  return true;
}

Socket::ConnectResult Socket::Connect(const Address& to) {
  sockaddr_in sa = ToSockaddr(to);
  int rc = ::connect(handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (rc == 0) return ConnectResult::Connected;
  if (errno == EINPROGRESS || errno == EINTR) {
    // The connection goes on in the background (an interrupted blocking
    // connect does as well).
    g_last_error = kWSAEWOULDBLOCK;
    return ConnectResult::InProgress;
  }
  FailFromErrno();
  return ConnectResult::Failed;
}

int Socket::PendingError() {
  int value = 0;
  socklen_t length = sizeof value;
  if (::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &value, &length) < 0) {
    FailFromErrno();
    return g_last_error;
  }
  if (value == 0) return 0;
  g_last_error = ErrorFromErrno(value);
  return g_last_error;
}

bool Socket::Bind(const Address& local) {
  sockaddr_in sa = ToSockaddr(local);
  if (::bind(handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0)
    return FailFromErrno(), false;
  return true;
}

bool Socket::Listen(int backlog) {
  if (::listen(handle_, backlog) < 0) return FailFromErrno(), false;
  return true;
}

Socket Socket::Accept(Address* peer) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  int fd;
  do {
    fd = ::accept4(handle_, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    FailFromErrno();
    return Socket();
  }
  if (peer != nullptr) *peer = FromSockaddr(sa);
  return Socket(fd);
}

std::int64_t Socket::Send(const void* data, std::size_t size) {
  ssize_t n;
  do {
    n = ::send(handle_, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailFromErrno();
  return n;
}

std::int64_t Socket::SendNow(const void* data, std::size_t size) {
  ssize_t n;
  do {
    n = ::send(handle_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailFromErrno();
  return n;
}

std::int64_t Socket::RecvNow(void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(handle_, buffer, size, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailFromErrno();
  return n;
}

std::int64_t Socket::Recv(void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(handle_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailFromErrno();
  return n;
}

std::int64_t Socket::SendTo(const void* data, std::size_t size, const Address& to) {
  sockaddr_in sa = ToSockaddr(to);
  ssize_t n;
  do {
    n = ::sendto(handle_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                 sizeof sa);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailFromErrno();
  return n;
}

std::int64_t Socket::RecvFrom(void* buffer, std::size_t size, Address* from) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  ssize_t n;
  do {
    n = ::recvfrom(handle_, buffer, size, 0, reinterpret_cast<sockaddr*>(&sa), &length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailFromErrno();
  if (from != nullptr) *from = FromSockaddr(sa);
  return n;
}

bool Socket::ShutdownWrite() {
  if (::shutdown(handle_, SHUT_WR) < 0) return FailFromErrno(), false;
  return true;
}

bool Socket::Shutdown() {
  if (::shutdown(handle_, SHUT_RDWR) < 0) return FailFromErrno(), false;
  return true;
}

std::optional<Address> Socket::LocalAddress() const {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&sa), &length) < 0) {
    FailFromErrno();
    return std::nullopt;
  }
  return FromSockaddr(sa);
}

std::optional<Address> Socket::PeerAddress() const {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getpeername(handle_, reinterpret_cast<sockaddr*>(&sa), &length) < 0) {
    FailFromErrno();
    return std::nullopt;
  }
  return FromSockaddr(sa);
}

int Socket::Wait(unsigned want, std::int64_t timeout_us) const {
  PollEntry entry{handle_, want, 0};
  int rc = Poll(std::span<PollEntry>(&entry, 1), timeout_us);
  if (rc <= 0) return rc;
  return static_cast<int>(entry.ready);
}

Socket ConnectTcp(const Address& to, int timeout_ms) {
  Socket socket;
  if (!socket.OpenTcp() || !socket.SetNonBlocking(true)) return Socket();
  switch (socket.Connect(to)) {
    case Socket::ConnectResult::Connected:
      break;
    case Socket::ConnectResult::Failed:
      return Socket();
    case Socket::ConnectResult::InProgress: {
      int ready = socket.Wait(kWritable, MsToUs(timeout_ms));
      if (ready <= 0) return Socket();
      if (socket.PendingError() != 0) return Socket();
      break;
    }
  }
  if (!socket.SetNonBlocking(false)) return Socket();
  return socket;
}

Socket ListenTcp(const Address& local, int backlog) {
  Socket socket;
  if (!socket.OpenTcp() || !socket.SetReuseAddress(true) || !socket.Bind(local) ||
      !socket.Listen(backlog))
    return Socket();
  return socket;
}

Socket AcceptWithin(Socket& listener, int timeout_ms, Address* peer) {
  int ready = listener.Wait(kReadable, MsToUs(timeout_ms));
  if (ready <= 0) return Socket();
  return listener.Accept(peer);
}

bool SendAll(Socket& socket, std::string_view data, int timeout_ms) {
  const std::int64_t deadline = timeout_ms < 0 ? 0 : NowUs() + MsToUs(timeout_ms);
  std::size_t done = 0;
  while (done < data.size()) {
    // Never a blocking send: a full buffer must not outlast the deadline.
    std::int64_t n = socket.SendNow(data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && LastError() != kWSAEWOULDBLOCK) return false;
    std::int64_t left = -1;
    if (timeout_ms >= 0) {
      left = deadline - NowUs();
      if (left <= 0) {
        g_last_error = kWSAETIMEDOUT;
        return false;
      }
    }
    if (socket.Wait(kWritable, left) <= 0) return false;
  }
  return true;
}

std::int64_t RecvWithin(Socket& socket, void* buffer, std::size_t size, int timeout_ms) {
  const std::int64_t deadline = timeout_ms < 0 ? 0 : NowUs() + MsToUs(timeout_ms);
  for (;;) {
    std::int64_t left = -1;
    if (timeout_ms >= 0) {
      left = deadline - NowUs();
      if (left < 0) left = 0;
    }
    if (socket.Wait(kReadable, left) <= 0) return -1;
    std::int64_t n = socket.Recv(buffer, size);
    // A non-blocking socket may find nothing after all; wait again.
    if (n < 0 && LastError() == kWSAEWOULDBLOCK) {
      if (timeout_ms >= 0 && deadline - NowUs() <= 0) {
        g_last_error = kWSAETIMEDOUT;
        return -1;
      }
      continue;
    }
    return n;
  }
}

AcceptResult AcceptLoopbackPeer(Socket& listener, Socket& accepted) {
  accepted.Close();
  if (!listener.IsOpen()) {
    g_last_error = kWSAENOTSOCK;
    return AcceptResult::Failed;
  }
  if (listener.Wait(kReadable, 0) <= 0) return AcceptResult::NoneWaiting;
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  int fd;
  do {
    fd = ::accept4(listener.handle(), reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int e = errno;
    FailFromErrno();
    // The waiting connection went away again before we took it.
    return (e == EAGAIN || e == EWOULDBLOCK || e == ECONNABORTED) ? AcceptResult::NoneWaiting
                                                                  : AcceptResult::Failed;
  }
  Socket socket(fd);
  if (sa.sin_family != AF_INET || !IsLoopbackIp(FromSockaddr(sa).ip)) {
    g_last_error = kWSAEACCES;
    return AcceptResult::RefusedPeer;
  }
  accepted = std::move(socket);
  return AcceptResult::Accepted;
}

namespace {

// The inode of the IPv4 TCP socket from local to remote (both loopback); 0
// when there is none; nullopt when the table cannot be read.
std::optional<unsigned long> LoopbackSocketInode(const Address& local, const Address& remote) {
  FILE* table = std::fopen("/proc/net/tcp", "re");
  if (table == nullptr) return std::nullopt;
  // The table writes each address as the hex of its network-order bytes read
  // as a little-endian word, then the port in hex.
  auto key = [](const Address& a) {
    char text[32];
    std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(htonl(a.ip)), a.port);
    return std::string(text);
  };
  const std::string wanted_local = key(local), wanted_remote = key(remote);
  char line[512];
  unsigned long found = 0;
  bool header = true;
  while (found == 0 && std::fgets(line, sizeof line, table) != nullptr) {
    if (header) {
      header = false;
      continue;
    }
    char local_text[64], remote_text[64];
    unsigned long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %*s %*s %lu", local_text, remote_text,
                    &inode) == 3 &&
        wanted_local == local_text && wanted_remote == remote_text) {
      found = inode;
    }
  }
  std::fclose(table);
  return found;
}

}  // namespace

bool IsPeerHeldBy(const Socket& accepted, int pid) {
  if (!accepted.IsOpen() || pid <= 0) return false;
  std::optional<Address> ours = accepted.LocalAddress();
  std::optional<Address> theirs = accepted.PeerAddress();
  if (!ours || !theirs) return false;
  // Their socket is the one from their address to ours.
  auto inode = LoopbackSocketInode(*theirs, *ours);
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

}  // namespace platform::net
