#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/clock.h"

extern char** environ;

namespace platform::process {
namespace {

// Exit codes of our own children that IsAlive reaped before Wait asked.
std::mutex g_reaped_mutex;
std::map<Pid, int> g_reaped;

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Reaps pid if it is our exited child. Returns true with the code when it has
// ended (now or earlier), false while it runs or when it is not our child.
bool ReapIfEnded(Pid pid, int& code, bool& is_child) {
  {
    std::lock_guard<std::mutex> lock(g_reaped_mutex);
    auto it = g_reaped.find(pid);
    if (it != g_reaped.end()) {
      code = it->second;
      is_child = true;
      return true;
    }
  }
  int status = 0;
  pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == pid) {
    code = DecodeStatus(status);
    is_child = true;
    std::lock_guard<std::mutex> lock(g_reaped_mutex);
    g_reaped[pid] = code;
    return true;
  }
  is_child = r == 0;
  return false;
}

std::string ReadLink(const std::string& path) {
  char buffer[4096];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string BaseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<ProcessInfo> ListProcesses() {
  std::vector<ProcessInfo> list;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return list;
  while (struct dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid <= 0) continue;
    ProcessInfo info;
    info.pid = static_cast<Pid>(pid);
    std::string base = std::string("/proc/") + e->d_name;
    info.exe_path = ReadLink(base + "/exe");
    // A program replaced while it runs shows " (deleted)" after its path.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (info.exe_path.size() > kDeleted.size() &&
        info.exe_path.compare(info.exe_path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
      info.exe_path.resize(info.exe_path.size() - kDeleted.size());
    }
    if (!info.exe_path.empty()) {
      info.exe_name = BaseName(info.exe_path);
    } else {
      std::string comm;
      int fd = ::open((base + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        char buffer[64];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) comm.assign(buffer, static_cast<std::size_t>(n));
        ::close(fd);
      }
      while (!comm.empty() && comm.back() == '\n') comm.pop_back();
      info.exe_name = comm;
    }
    list.push_back(std::move(info));
  }
  ::closedir(dir);
  return list;
}

Pid CurrentPid() { return ::getpid(); }

Pid ParentPid() { return ::getppid(); }

std::string CurrentExecutablePath() { return ReadLink("/proc/self/exe"); }

std::optional<Pid> Start(const std::vector<std::string>& argv, const StartOptions& options) {
  if (argv.empty()) return std::nullopt;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.hidden) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (!options.working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling whatever we ignore.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  bool has_slash = argv[0].find('/') != std::string::npos;
  int rc = has_slash ? posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ)
                     : posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return std::nullopt;
  }
  return pid;
}

bool IsAlive(Pid pid) {
  if (pid <= 0) return false;
  int code = 0;
  bool is_child = false;
  if (ReapIfEnded(pid, code, is_child)) return false;
  if (is_child) return true;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::optional<int> Wait(Pid pid, int timeout_ms) {
  std::uint64_t deadline = clock::SteadyMs() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int code = 0;
    bool is_child = false;
    if (ReapIfEnded(pid, code, is_child)) {
      std::lock_guard<std::mutex> lock(g_reaped_mutex);
      g_reaped.erase(pid);
      return code;
    }
    if (!is_child && !IsAlive(pid)) return std::nullopt;  // not ours: no code to tell
    if (timeout_ms >= 0 && clock::SteadyMs() >= deadline) return std::nullopt;
    clock::SleepMs(5);
  }
}

bool Kill(Pid pid) { return pid > 0 && ::kill(pid, SIGKILL) == 0; }

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string current;
  bool in_word = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_word) words.push_back(current);
      current.clear();
      in_word = false;
    } else {
      current.push_back(c);
      in_word = true;
    }
  }
  if (in_word) words.push_back(current);
  return words;
}

}  // namespace platform::process
