#include "platform/parent_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace platform::parent_watch {
namespace {

constexpr int kFallbackPollMs = 100;

std::atomic<bool> g_active{false};
std::thread g_thread;
int g_stop_pipe[2] = {-1, -1};
int g_pidfd = -1;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void Watch(pid_t parent) {
  pollfd fds[2];
  int count = 0;
  if (g_pidfd >= 0) fds[count++] = {g_pidfd, POLLIN, 0};
  fds[count++] = {g_stop_pipe[0], POLLIN, 0};
  const bool by_pidfd = g_pidfd >= 0;
  for (;;) {
    int r = poll(fds, static_cast<nfds_t>(count), by_pidfd ? -1 : kFallbackPollMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[count - 1].revents & POLLIN) != 0 || !g_active) return;  // stop asked
    bool parent_gone = by_pidfd ? fds[0].revents != 0 : getppid() != parent;
    if (parent_gone) {
      if (g_active) _exit(0);
      return;
    }
  }
}

}  // namespace

bool Start() {
  if (g_thread.joinable()) return true;
  pid_t parent = getppid();
  if (parent <= 1) return false;
  g_pidfd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
  if (g_pidfd < 0 && errno != ENOSYS) return false;  // the parent has gone already
  if (getppid() != parent) {
    // The parent ended while we set up: the descriptor may name another process.
    CloseFd(g_pidfd);
    return false;
  }
  if (pipe2(g_stop_pipe, O_CLOEXEC) != 0) {
    CloseFd(g_pidfd);
    return false;
  }
  g_active = true;
  try {
    g_thread = std::thread(Watch, parent);
  } catch (...) {
    g_active = false;
    CloseFd(g_pidfd);
    CloseFd(g_stop_pipe[0]);
    CloseFd(g_stop_pipe[1]);
    return false;
  }
  return true;
}

void Stop() {
  g_active = false;
  if (g_thread.joinable()) {
    char byte = 1;
    ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
    (void)ignored;
    g_thread.join();
  }
  CloseFd(g_pidfd);
  CloseFd(g_stop_pipe[0]);
  CloseFd(g_stop_pipe[1]);
}

}  // namespace platform::parent_watch
