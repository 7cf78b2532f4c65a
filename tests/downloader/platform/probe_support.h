// Running the platform probe and reading what it leaves behind.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

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
  std::string text;
  if (kestra::test::WaitUntil(
          [&] {
            if (dir.Exists(name)) text = dir.Read(name);
            return !text.empty();
          },
          30000, 10)) {
    return text;
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
  return kestra::test::WaitUntil([&] { return Ended(pid); }, 30000, 10);
}

}  // namespace zelt::test
