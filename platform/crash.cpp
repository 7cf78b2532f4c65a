#include "platform/crash.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>

namespace platform::crash {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr int kMaxFrames = 128;
constexpr std::size_t kAltStackBytes = 64 * 1024;
constexpr std::size_t kMaxMapsBytes = 256 * 1024;
constexpr int kCoreNumber = 27233;

constexpr const char* kMessageFormat =
    "非常遗憾的通知您，程序内部发生了不可挽回的错误。\n幸运的是这个错误已经被记录到\n\t%s%s\n文件里。\n"
    "非常希望你能将此文件，连同以下的错误代码，\nEmail 给技术人员，让我们可以重现您碰到的问题，着手解决。\n\n"
    "Exception Code: %X, at address %p";
constexpr const char* kShortFormat = "Exception Code: %X, at address %p";

struct State {
  bool installed = false;
  char directory[4096] = {};
  std::atomic<bool> show_message{true};
  std::atomic<bool> send_report{true};
  ReportHook hook = nullptr;
  void* hook_context = nullptr;
  struct sigaction previous[kSignalCount];
  std::terminate_handler previous_terminate = nullptr;
  std::new_handler previous_new = nullptr;
  stack_t previous_stack{};
  void* alt_stack = nullptr;
  std::atomic<bool> handling{false};
};

State g_state;

void WriteText(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

const char* CauseName(int signal_number) {
  switch (signal_number) {
    case SIGSEGV: return "SIGSEGV (invalid memory access)";
    case SIGBUS: return "SIGBUS (bus error)";
    case SIGFPE: return "SIGFPE (arithmetic error)";
    case SIGILL: return "SIGILL (illegal instruction)";
    case SIGABRT: return "SIGABRT (abort)";
    default: return "";
  }
}

void CopyMaps(int fd) {
  int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char buffer[4096];
  std::size_t copied = 0;
  ssize_t n;
  while (copied < kMaxMapsBytes && (n = read(maps, buffer, sizeof buffer)) > 0) {
    if (write(fd, buffer, static_cast<std::size_t>(n)) != n) break;
    copied += static_cast<std::size_t>(n);
  }
  close(maps);
}

[[noreturn]] void HandleCrash(unsigned code, const char* cause, const void* address) {
  if (g_state.handling.exchange(true)) _exit(0);  // a crash inside the handler
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  Stamp stamp{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  std::string file_name = ChooseFileName(g_state.directory, stamp);
  bool written = false;
  std::string path;
  if (!file_name.empty()) {
    path = std::string(g_state.directory) + file_name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char head[512];
      std::snprintf(head, sizeof head, "Exception Code: %X, at address %p\nCause: %s\npid: %d\n\nStack:\n",
                    code, address, cause, static_cast<int>(getpid()));
      WriteText(fd, head);
      void* frames[kMaxFrames];
      int count = backtrace(frames, kMaxFrames);
      backtrace_symbols_fd(frames, count, fd);
      WriteText(fd, "\nModules:\n");
      CopyMaps(fd);
      close(fd);
      written = true;
    }
  }
  std::string message = written ? MessageText(g_state.directory, file_name, code, address)
                                : ShortMessageText(code, address);
  if (g_state.show_message) {
    WriteText(STDERR_FILENO, kCaption);
    WriteText(STDERR_FILENO, "\n");
    WriteText(STDERR_FILENO, message.c_str());
    WriteText(STDERR_FILENO, "\n");
  }
  if (written && g_state.send_report && g_state.hook != nullptr) {
    g_state.hook(path.c_str(), g_state.hook_context);
  }
  _exit(0);
}

void OnSignal(int signal_number, siginfo_t* info, void*) {
  HandleCrash(static_cast<unsigned>(signal_number), CauseName(signal_number),
              info != nullptr ? info->si_addr : nullptr);
}

void OnTerminate() { HandleCrash(kCodeTerminate, "std::terminate", nullptr); }
void OnOutOfMemory() { HandleCrash(kCodeOutOfMemory, "allocation failure", nullptr); }

}  // namespace

std::string ChooseFileName(const std::string& directory, const Stamp& stamp) {
  char base[128];
  std::snprintf(base, sizeof base, "zelt-%04d%02d%02d-%02d%02d%02d[%d]-", stamp.year, stamp.month,
                stamp.day, stamp.hour, stamp.minute, stamp.second, kCoreNumber);
  for (char digit = '0'; digit <= '9'; ++digit) {
    std::string name = std::string(base) + digit + ".dmp";
    std::string path = directory + name;
    if (access(path.c_str(), F_OK) != 0) return name;
  }
  return {};
}

std::string MessageText(const std::string& directory, const std::string& file_name, unsigned code,
                        const void* address) {
  char text[8192];
  std::snprintf(text, sizeof text, kMessageFormat, directory.c_str(), file_name.c_str(), code, address);
  return text;
}

std::string ShortMessageText(unsigned code, const void* address) {
  char text[128];
  std::snprintf(text, sizeof text, kShortFormat, code, address);
  return text;
}

bool Install(const std::string& directory) {
  if (g_state.installed) return true;
  std::string dir = directory;
  if (dir.empty()) dir = "./";
  if (dir.back() != '/') dir += '/';
  if (dir.size() >= sizeof g_state.directory) return false;
  std::memcpy(g_state.directory, dir.c_str(), dir.size() + 1);

  // backtrace loads its unwinder on first use; do it now, not in the handler.
  void* frames[2];
  backtrace(frames, 2);

  g_state.alt_stack = ::operator new(kAltStackBytes, std::nothrow);
  if (g_state.alt_stack != nullptr) {
    stack_t stack{};
    stack.ss_sp = g_state.alt_stack;
    stack.ss_size = kAltStackBytes;
    sigaltstack(&stack, &g_state.previous_stack);
  }
  struct sigaction action {};
  action.sa_sigaction = OnSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_state.previous[i]);
  g_state.previous_terminate = std::set_terminate(OnTerminate);
  g_state.previous_new = std::set_new_handler(OnOutOfMemory);
  g_state.installed = true;
  return true;
}

void SetSwitches(bool show_message, bool send_report) {
  g_state.show_message = show_message;
  g_state.send_report = send_report;
}

void SetReportHook(ReportHook hook, void* context) {
  g_state.hook = hook;
  g_state.hook_context = context;
}

void Remove() {
  if (!g_state.installed) return;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_state.previous[i], nullptr);
  std::set_terminate(g_state.previous_terminate);
  std::set_new_handler(g_state.previous_new);
  if (g_state.alt_stack != nullptr) {
    sigaltstack(&g_state.previous_stack, nullptr);
    ::operator delete(g_state.alt_stack);
    g_state.alt_stack = nullptr;
  }
  g_state.installed = false;
}

}  // namespace platform::crash
