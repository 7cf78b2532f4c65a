// A download task served from loopback nginx servers, made at test time by
// kestra-seed, and the real downloader core run over its control channel.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/interactive/interactive.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace kestra::e2e {

inline constexpr int kLongWaitMs = 300000;

// Pseudo-random bytes, the same for the same seed.
std::string Content(std::size_t size, unsigned seed);
// Polls until done() or the time is up.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms = kLongWaitMs);

// An nginx whose log lists status, path, Range field and body bytes.
class LoggedNginx {
 public:
  explicit LoggedNginx(const std::string& root, const std::string& extra = {});
  struct Line {
    std::string status, uri, range;
    std::uint64_t bytes = 0;
  };
  std::vector<Line> Lines() const;
  // Body bytes sent for paths that start with the prefix.
  std::uint64_t BytesUnder(const std::string& prefix) const;
  std::string Url(const std::string& path = {}) const { return server_->Url(path); }

 private:
  test::TempDir logs_;
  std::unique_ptr<test::NginxServer> server_;
};

// The files of a task (name -> content) laid out under a web root by
// kestra-seed: the torrent at /task/task.torrent, the files below /task/.
struct TaskFiles {
  std::map<std::string, std::string> files;
  std::uint64_t Total() const;
};
TaskFiles MakeFiles(const std::vector<std::pair<std::string, std::size_t>>& sizes, unsigned seed);
// Runs kestra-seed; false (with the reason in why) when it fails.
bool PublishTask(const TaskFiles& task, const std::string& web_root, std::uint32_t block_size,
                 const std::vector<std::string>& cdns, std::string& why,
                 const std::vector<std::string>& trackers = {});

// The downloader core over its control channel.
class Core {
 public:
  explicit Core(std::string work_dir);
  ~Core();
  // Starts kestra-downloader with the arguments and waits for its connection.
  bool Start(const std::vector<std::string>& args);
  void Send(const std::string& line);
  // Reads what has arrived.
  void Pump();
  // Waits for a line containing text (after the first `from` lines).
  bool WaitLine(const std::string& text, std::size_t from = 0, int timeout_ms = kLongWaitMs);
  // The state changes so far (the states inside "stat" replies left out).
  std::vector<int> States();
  // The value of the last "KEY=" line, or nothing.
  std::optional<std::string> Last(const std::string& key);
  const std::vector<std::string>& lines() const { return lines_; }
  std::optional<int> Wait(int timeout_ms);
  void KillHard();
  int pid() const { return pid_; }

 private:
  std::string dir_;
  std::unique_ptr<interactive::NetworkInteractive> channel_;
  std::vector<std::string> lines_;
  int pid_ = 0;
  bool ended_ = true;
};

// Reads a file whole; empty when missing.
std::string ReadFile(const std::string& path);

}  // namespace kestra::e2e
