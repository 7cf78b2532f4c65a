// Running the platform probe and reading what it leaves behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace zelt::test {

// Runs the probe to its end; the exit code, nullopt after a minute.
inline std::optional<int> RunProbe(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {PLATFORM_PROBE};
  argv.insert(argv.end(), args.begin(), args.end());
  auto pid = platform::process::Start(argv);
  if (!pid) return std::nullopt;
  return platform::process::Wait(*pid, 60000);
}

// Waits (at most 30 s) for a marker file and returns its content.
inline std::optional<std::string> WaitForFile(const kestra::test::TempDir& dir, const std::string& name) {
  for (int i = 0; i < 3000; ++i) {
    if (dir.Exists(name)) {
      std::string text = dir.Read(name);
      if (!text.empty()) return text;
    }
    platform::clock::SleepMs(10);
  }
  return std::nullopt;
}

// True once the process has ended (a zombie that nobody reaps counts as ended).
inline bool Ended(int pid) {
  if (!platform::process::IsAlive(pid)) return true;
  std::string stat;
  if (!platform::fs::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
  std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

// Waits (at most 30 s) for the process to end.
inline bool WaitEnded(int pid) {
  for (int i = 0; i < 3000; ++i) {
    if (Ended(pid)) return true;
    platform::clock::SleepMs(10);
  }
  return false;
}

}  // namespace zelt::test
