#include "platform/pipe_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace platform::pipe {

std::optional<Pair> Create() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pair{fds[0], fds[1]};
}

void Close(Handle& handle) {
  if (handle < 0) return;
  ::close(handle);
  handle = kInvalidHandle;
}

bool SetNonBlockingWrite(Handle handle) {
  if (handle < 0) return false;
  int flags = ::fcntl(handle, F_GETFL);
  return flags >= 0 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

Handle StandardInput() { return STDIN_FILENO; }
Handle StandardOutput() { return STDOUT_FILENO; }
Handle StandardError() { return STDERR_FILENO; }

bool WriteAll(Handle handle, std::string_view data) {
  if (handle < 0) return false;
  IgnoreBrokenPipeSignal();
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t result = ::write(handle, data.data() + done, data.size() - done);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    done += static_cast<std::size_t>(result);
  }
  return true;
}

Waker::Waker() {
  if (auto pair = Create()) {
    pair_ = *pair;
    int flags = ::fcntl(pair_.write, F_GETFL);
    if (flags >= 0) ::fcntl(pair_.write, F_SETFL, flags | O_NONBLOCK);
  }
}

Waker::~Waker() {
  Close(pair_.read);
  Close(pair_.write);
}

void Waker::Wake() {
  if (pair_.write < 0) return;
  char byte = 1;
  // One byte stays in the pipe: every later wait sees it at once.
  while (::write(pair_.write, &byte, 1) < 0 && errno == EINTR) {
  }
}

bool Waker::woken() const {
  if (pair_.read < 0) return false;
  pollfd entry{pair_.read, POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

std::int64_t ReadSome(Handle handle, void* buffer, std::size_t size, const Waker& waker) {
  if (handle < 0) return -1;
  pollfd entries[2] = {{handle, POLLIN, 0}, {waker.wait_handle(), POLLIN, 0}};
  nfds_t count = waker.valid() ? 2 : 1;
  for (;;) {
    int result = ::poll(entries, count, -1);
    if (result < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (count == 2 && (entries[1].revents & POLLIN)) return -1;
    if (entries[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) break;
  }
  for (;;) {
    ssize_t got = ::read(handle, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? -1 : got;
  }
}

void IgnoreBrokenPipeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

}  // namespace platform::pipe

namespace platform::pipe_process {

std::optional<int> StartHidden(const std::vector<std::string>& argv,
                               const StdHandles& handles, int* error_code) {
  if (error_code) *error_code = 0;
  if (argv.empty() || argv[0].empty()) {
    if (error_code) *error_code = ENOENT;
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) {
    if (error_code) *error_code = rc;
    return std::nullopt;
  }
  const pipe::Handle wanted[3] = {handles.input, handles.output, handles.error};
  int rc = 0;
  for (int target = 0; target < 3 && rc == 0; ++target) {
    if (wanted[target] >= 0) {
      rc = posix_spawn_file_actions_adddup2(&actions, wanted[target], target);
    } else {
      rc = posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                            target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  // Nothing but the three standard handles reaches the child.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = 0;
  if (rc == 0) rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (error_code) *error_code = rc;
    return std::nullopt;
  }
  return static_cast<int>(pid);
}

}  // namespace platform::pipe_process
