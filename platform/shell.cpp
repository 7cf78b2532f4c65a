#include "platform/shell.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/process.h"

namespace platform::shell {
namespace {

constexpr std::size_t kMaxHandlerOutput = 4096;
constexpr std::size_t kMaxDesktopFile = 64 * 1024;
constexpr int kQueryWaitMs = 5000;

// What the middle process tells us about the program it started.
struct SpawnReport {
  int exec_errno = 0;  // 0: the program runs (or ran)
  int exited = 0;      // 1: it ended within the wait
  int exit_code = 0;
};

void SleepBriefly() {
  struct timespec ts = {0, 10 * 1000 * 1000};
  nanosleep(&ts, nullptr);
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

// Starts path in directory (empty: ours) through a middle process, so that the
// program is never our child and leaves no zombie. With wait_ms >= 0 the middle
// process waits that long for the program's end and reports its exit code.
// Only async-signal-safe calls happen between fork and exec.
std::optional<SpawnReport> Spawn(const std::string& path, const std::vector<std::string>& argv,
                                 const std::string& directory, int wait_ms) {
  std::vector<char*> args = ArgvPointers(argv);
  const char* dir = directory.empty() ? nullptr : directory.c_str();
  int report_pipe[2];
  if (pipe2(report_pipe, O_CLOEXEC) != 0) return std::nullopt;
  int exec_pipe[2];
  if (pipe2(exec_pipe, O_CLOEXEC) != 0) {
    close(report_pipe[0]);
    close(report_pipe[1]);
    return std::nullopt;
  }
  pid_t middle = fork();
  if (middle < 0) {
    for (int fd : {report_pipe[0], report_pipe[1], exec_pipe[0], exec_pipe[1]}) close(fd);
    return std::nullopt;
  }
  if (middle == 0) {
    close(report_pipe[0]);
    setsid();
    SpawnReport report;
    pid_t program = fork();
    if (program < 0) {
      report.exec_errno = errno;
      WriteAll(report_pipe[1], &report, sizeof report);
      _exit(0);
    }
    if (program == 0) {
      close(report_pipe[1]);
      close(exec_pipe[0]);
      int err = 0;
      if (dir != nullptr && chdir(dir) != 0) {
        err = errno;
      } else {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
          dup2(null_fd, 0);
          dup2(null_fd, 1);
          dup2(null_fd, 2);
          if (null_fd > 2) close(null_fd);
        }
        execv(path.c_str(), args.data());
        err = errno;
      }
      WriteAll(exec_pipe[1], &err, sizeof err);
      _exit(127);
    }
    close(exec_pipe[1]);
    int err = 0;
    if (ReadAll(exec_pipe[0], &err, sizeof err)) {
      report.exec_errno = err == 0 ? ENOEXEC : err;
      waitpid(program, nullptr, 0);
      WriteAll(report_pipe[1], &report, sizeof report);
      _exit(0);
    }
    for (int waited = 0; wait_ms >= 0 && waited <= wait_ms; waited += 10) {
      int status = 0;
      pid_t r = waitpid(program, &status, WNOHANG);
      if (r == program) {
        report.exited = 1;
        report.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (r < 0) break;
      SleepBriefly();
    }
    WriteAll(report_pipe[1], &report, sizeof report);
    _exit(0);
  }
  close(report_pipe[1]);
  close(exec_pipe[0]);
  close(exec_pipe[1]);
  SpawnReport report;
  bool ok = ReadAll(report_pipe[0], &report, sizeof report);
  close(report_pipe[0]);
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!ok) return std::nullopt;
  return report;
}

int CodeForErrno(int err) {
  switch (err) {
    case ENOENT: return kOpenFileNotFound;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM: return kOpenAccessDenied;
    case ENOEXEC: return kOpenBadProgram;
    case ENOMEM: return kOpenOutOfMemory;
    default: return 0;
  }
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Finds a program name through PATH; a name with a "/" is taken as it is.
std::optional<std::string> FindInPath(std::string_view name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) return std::string(name);
  const char* env = std::getenv("PATH");
  std::string path = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + std::string(name);
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

bool UsableText(std::string_view text) {
  return !text.empty() && text.size() <= kMaxCommandText &&
         text.find('\0') == std::string_view::npos;
}

// Runs a query program and returns what it printed (bounded), or nullopt when
// it could not run, failed, or took too long.
std::optional<std::string> CaptureOutput(const std::vector<std::string>& argv) {
  std::optional<std::string> program = FindInPath(argv[0]);
  if (!program) return std::nullopt;
  std::vector<char*> args = ArgvPointers(argv);
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return std::nullopt;
  pid_t child = fork();
  if (child < 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return std::nullopt;
  }
  if (child == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 2);
    }
    dup2(out_pipe[1], 1);
    execv(program->c_str(), args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  std::string output;
  bool too_long = false;
  int waited = 0;
  for (;;) {
    struct pollfd pfd = {out_pipe[0], POLLIN, 0};
    int r = poll(&pfd, 1, 50);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      waited += 50;
      if (waited >= kQueryWaitMs) {
        too_long = true;
        break;
      }
      continue;
    }
    char buffer[512];
    ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() + static_cast<std::size_t>(n) > kMaxHandlerOutput) {
      too_long = true;
      break;
    }
    output.append(buffer, static_cast<std::size_t>(n));
  }
  close(out_pipe[0]);
  if (too_long) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (too_long || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

std::string Trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t' || text[b] == '\r' || text[b] == '\n')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' ||
                   text[e - 1] == '\n'))
    --e;
  return std::string(text.substr(b, e - b));
}

std::vector<std::string> ApplicationDirectories() {
  std::vector<std::string> dirs;
  const char* data_home = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (data_home != nullptr && *data_home != '\0') {
    dirs.push_back(std::string(data_home) + "/applications");
  } else if (home != nullptr && *home != '\0') {
    dirs.push_back(std::string(home) + "/.local/share/applications");
  }
  const char* data_dirs = std::getenv("XDG_DATA_DIRS");
  std::string list = (data_dirs != nullptr && *data_dirs != '\0') ? data_dirs
                                                                  : "/usr/local/share:/usr/share";
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) dirs.push_back(list.substr(start, end - start) + "/applications");
    start = end + 1;
  }
  return dirs;
}

// The Exec value of the [Desktop Entry] group of a desktop file's text.
std::optional<std::string> ExecOfDesktopEntry(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  bool in_entry = false;
  while (std::getline(lines, line)) {
    std::string t = Trim(line);
    if (!t.empty() && t.front() == '[') {
      in_entry = t == "[Desktop Entry]";
      continue;
    }
    if (in_entry && t.rfind("Exec=", 0) == 0) {
      std::string value = Trim(std::string_view(t).substr(5));
      if (value.empty()) return std::nullopt;
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace

int OpenWithDesktopOpener(std::string_view url, int wait_ms) {
  if (!UsableText(url)) return kOpenFileNotFound;
  std::optional<std::string> opener = FindInPath("xdg-open");
  if (!opener) return kOpenFileNotFound;
  std::optional<SpawnReport> report = Spawn(*opener, {"xdg-open", std::string(url)}, "", wait_ms);
  if (!report) return kOpenOutOfMemory;
  if (report->exec_errno != 0) return CodeForErrno(report->exec_errno);
  if (!report->exited) return kOpenSucceeded;  // still busy opening: it started
  switch (report->exit_code) {
    case 0: return kOpenSucceeded;
    case 2: return kOpenFileNotFound;
    default: return kOpenNoAssociation;  // 1 bad call, 3 no tool, 4 action failed
  }
}

std::optional<std::string> RegisteredWebHandler() {
  std::optional<std::string> output = CaptureOutput({"xdg-mime", "query", "default", "text/html"});
  if (!output) return std::nullopt;
  std::string name = Trim(*output);
  std::size_t newline = name.find('\n');
  if (newline != std::string::npos) name = Trim(name.substr(0, newline));
  const std::string suffix = ".desktop";
  if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
      name.find('/') != std::string::npos || name.front() == '.')
    return std::nullopt;
  for (const std::string& dir : ApplicationDirectories()) {
    std::string path = dir + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    std::string text(kMaxDesktopFile, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::optional<std::string> exec = ExecOfDesktopEntry(text);
    if (exec) return exec;
  }
  return std::nullopt;
}

std::string HandlerCommandLine(std::string_view command, std::string_view url) {
  std::string text(command);
  std::size_t cut = text.find("\"%1\"");
  if (cut == std::string::npos) cut = text.find("%1");
  if (cut == std::string::npos) {
    for (const char* code : {"%u", "%U", "%f", "%F"}) {
      std::size_t at = text.find(code);
      if (at != std::string::npos && (cut == std::string::npos || at < cut)) cut = at;
    }
  }
  if (cut != std::string::npos) text.resize(cut);
  text += ' ';
  text += url;
  return text;
}

int RunCommandLine(std::string_view command_line) {
  if (!UsableText(command_line)) return kOpenFileNotFound;
  std::vector<std::string> words = process::SplitCommandLine(command_line);
  if (words.empty()) return kOpenFileNotFound;
  std::optional<std::string> program = FindInPath(words[0]);
  if (!program) return kOpenFileNotFound;
  std::optional<SpawnReport> report = Spawn(*program, words, "", -1);
  if (!report) return kOpenOutOfMemory;
  if (report->exec_errno != 0) return CodeForErrno(report->exec_errno);
  return kOpenSucceeded;
}

int OpenUrl(std::string_view url) {
  int result = OpenWithDesktopOpener(url);
  if (result > 32) return result;
  std::optional<std::string> handler = RegisteredWebHandler();
  if (!handler) return result;
  return RunCommandLine(HandlerCommandLine(*handler, url));
}

bool StartDetached(std::string_view program, const std::vector<std::string>& argv,
                   std::string_view directory) {
  if (program.empty() || argv.empty() || program.find('\0') != std::string_view::npos ||
      directory.find('\0') != std::string_view::npos)
    return false;
  std::string path(program);
  if (path.find('/') == std::string::npos) {
    std::string dir = directory.empty() ? std::string(".") : std::string(directory);
    path = dir + "/" + path;
  }
  std::optional<SpawnReport> report = Spawn(path, argv, std::string(directory), -1);
  return report && report->exec_errno == 0;
}

}  // namespace platform::shell
