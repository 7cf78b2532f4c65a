// A small program for the platform tests of the downloader core: it installs
// one piece of the platform layer and then crashes, raises signals or waits
// for its parent, leaving marker files in DIR.
//
//   platform_probe crash-segv|crash-abort|crash-terminate|crash-fpe DIR SHOW REPORT
//   platform_probe interrupt|interrupt-restored DIR
//   platform_probe watch|watch-stopped DIR
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/crash.h"
#include "platform/fs.h"
#include "platform/parent_watch.h"
#include "platform/process.h"

namespace {

std::string g_dir;

void Mark(const char* name, const std::string& text) {
  platform::fs::WriteWholeFile(g_dir + "/" + name, text);
}

void OnReport(const char* path, void*) { Mark("reported", path); }

int Crash(const std::string& mode, bool show, bool report) {
  std::freopen((g_dir + "/stderr.txt").c_str(), "w", stderr);
  platform::crash::Install(g_dir);
  platform::crash::SetSwitches(show, report);
  platform::crash::SetReportHook(OnReport, nullptr);
  if (mode == "crash-segv") {
    volatile int* p = reinterpret_cast<volatile int*>(std::strtoul("16", nullptr, 10));
    *p = 1;
  } else if (mode == "crash-abort") {
    std::abort();
  } else if (mode == "crash-terminate") {
    throw std::runtime_error("nobody catches this");
  } else if (mode == "crash-fpe") {
    std::raise(SIGFPE);
  }
  return 3;  // not reached when the handler works
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  g_dir = argv[2];
  Mark("pid", std::to_string(platform::process::CurrentPid()));
  if (mode.rfind("crash-", 0) == 0) {
    if (argc < 5) return 2;
    return Crash(mode, std::strcmp(argv[3], "1") == 0, std::strcmp(argv[4], "1") == 0);
  }
  if (mode == "interrupt" || mode == "interrupt-restored") {
    platform::console::IgnoreInterrupts();
    if (mode == "interrupt-restored") platform::console::RestoreInterrupts();
    std::raise(SIGINT);
    std::raise(SIGQUIT);
    Mark("alive", "1");
    return 0;
  }
  if (mode == "watch" || mode == "watch-stopped") {
    const int parent = platform::process::ParentPid();
    Mark("ppid", std::to_string(parent));
    bool started = platform::parent_watch::Start();
    if (mode == "watch-stopped") platform::parent_watch::Stop();
    Mark("watching", started ? "1" : "0");
    // Wait (at most a minute) for the parent to go.
    for (int i = 0; i < 1200 && platform::process::ParentPid() == parent; ++i) {
      platform::clock::SleepMs(50);
    }
    Mark("survived", "1");
    return 0;
  }
  return 2;
}
