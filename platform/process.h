// Processes: start, list, liveness, wait.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::process {

using Pid = int;

struct ProcessInfo {
  Pid pid = 0;
  std::string exe_name;  // file name of the program, without its directory
  std::string exe_path;  // full path of the program, empty when unreadable
};

// A snapshot of the running processes. exe_path is empty for processes whose
// program cannot be read (other users' processes, kernel threads).
std::vector<ProcessInfo> ListProcesses();

Pid CurrentPid();
Pid ParentPid();
// Full path of the running program.
std::string CurrentExecutablePath();

struct StartOptions {
  std::string working_directory;  // empty: inherit
  bool hidden = true;             // no console output of the child reaches ours
};

// Starts argv[0] with the arguments; returns the child's id or nullopt.
// argv[0] is found through PATH when it has no separator.
std::optional<Pid> Start(const std::vector<std::string>& argv,
                         const StartOptions& options = {});

// True while the process exists; our own exited children are reaped here, so a
// zombie never counts as running.
bool IsAlive(Pid pid);

// Waits up to timeout_ms (negative: for ever); the exit code when it ended.
// A child killed by a signal reports 128 + the signal number.
std::optional<int> Wait(Pid pid, int timeout_ms);

bool Kill(Pid pid);

// Splits a command line into words: blanks separate, double quotes group.
std::vector<std::string> SplitCommandLine(std::string_view line);

}  // namespace platform::process
