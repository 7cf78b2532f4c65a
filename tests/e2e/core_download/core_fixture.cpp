#include "tests/e2e/core_download/core_fixture.h"

#include <fstream>
#include <random>
#include <sstream>

#include "platform/clock.h"
#include "platform/process.h"

namespace kestra::e2e {

std::string Content(std::size_t size, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::string s(size, '\0');
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t v = gen();
    for (int k = 0; k < 8; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
  }
  for (; i < size; ++i) s[i] = static_cast<char>(gen());
  return s;
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  const std::uint64_t end = platform::clock::SteadyMs() + static_cast<std::uint64_t>(timeout_ms);
  while (!done()) {
    if (platform::clock::SteadyMs() > end) return false;
    platform::clock::SleepMs(20);
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

LoggedNginx::LoggedNginx(const std::string& root, const std::string& extra) {
  test::NginxOptions o;
  o.http_config = "log_format ranges '$status $uri $http_range $body_bytes_sent';";
  o.server_config = "access_log " + (logs_ / "ranges.log") + " ranges;\n" + extra;
  server_ = std::make_unique<test::NginxServer>(root, o);
}

std::vector<LoggedNginx::Line> LoggedNginx::Lines() const {
  std::vector<Line> out;
  std::istringstream in(logs_.Read("ranges.log"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    Line l;
    f >> l.status >> l.uri >> l.range >> l.bytes;
    out.push_back(l);
  }
  return out;
}

std::uint64_t LoggedNginx::BytesUnder(const std::string& prefix) const {
  std::uint64_t n = 0;
  for (const Line& l : Lines()) {
    if (l.uri.compare(0, prefix.size(), prefix) == 0) n += l.bytes;
  }
  return n;
}

std::uint64_t TaskFiles::Total() const {
  std::uint64_t n = 0;
  for (const auto& [name, c] : files) n += c.size();
  return n;
}

TaskFiles MakeFiles(const std::vector<std::pair<std::string, std::size_t>>& sizes, unsigned seed) {
  TaskFiles t;
  for (const auto& [name, size] : sizes) t.files[name] = Content(size, seed++);
  return t;
}

bool PublishTask(const TaskFiles& task, const std::string& web_root, std::uint32_t block_size,
                 const std::vector<std::string>& cdns, std::string& why,
                 const std::vector<std::string>& trackers) {
  test::TempDir src;
  for (const auto& [name, c] : task.files) src.Write(name, c);
  std::vector<std::string> argv = {std::string(KESTRA_BIN_DIR) + "/kestra-seed", "make", "--files", src.path(),
                                   "--block-size", std::to_string(block_size), "--out", web_root + "/task",
                                   "--torrent", "task.torrent"};
  for (const std::string& c : cdns) {
    argv.push_back("--cdn");
    argv.push_back(c);
  }
  for (const std::string& t : trackers) {
    argv.push_back("--tracker");
    argv.push_back(t);
  }
  auto pid = platform::process::Start(argv);
  if (!pid) {
    why = "kestra-seed did not start";
    return false;
  }
  auto code = platform::process::Wait(*pid, 120000);
  if (code != std::optional<int>(0)) {
    why = "kestra-seed ended with " + (code ? std::to_string(*code) : std::string("nothing"));
    return false;
  }
  return true;
}

Core::Core(std::string work_dir) : dir_(std::move(work_dir)) {}

Core::~Core() {
  if (!ended_) {
    KillHard();
    Wait(10000);
  }
}

bool Core::Start(const std::vector<std::string>& args) {
  channel_ = std::make_unique<interactive::NetworkInteractive>(0);
  if (!channel_->Open()) return false;
  std::vector<std::string> argv = {std::string(KESTRA_BIN_DIR) + "/kestra-downloader"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("-InteractivePort");
  argv.push_back(std::to_string(channel_->port()));
  platform::process::StartOptions options;
  options.working_directory = dir_;
  auto pid = platform::process::Start(argv, options);
  if (!pid) return false;
  pid_ = *pid;
  ended_ = false;
  return WaitUntil(
      [&] {
        Pump();
        return channel_->connected();
      },
      30000);
}

void Core::Send(const std::string& line) { channel_->Write(line + "\n"); }

void Core::Pump() {
  std::string line;
  while (channel_ && channel_->ReadLine(line)) lines_.push_back(line);
}

bool Core::WaitLine(const std::string& text, std::size_t from, int timeout_ms) {
  const std::uint64_t end = platform::clock::SteadyMs() + static_cast<std::uint64_t>(timeout_ms);
  for (;;) {
    Pump();
    for (std::size_t i = from; i < lines_.size(); ++i) {
      if (lines_[i].find(text) != std::string::npos) return true;
    }
    // A core that has ended sends nothing more.
    if (!platform::process::IsAlive(pid_) || platform::clock::SteadyMs() > end) {
      Pump();
      for (std::size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].find(text) != std::string::npos) return true;
      }
      return false;
    }
    platform::clock::SleepMs(20);
  }
}

std::vector<int> Core::States() {
  Pump();
  std::vector<int> out;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::size_t p = lines_[i].find("P2PState=");
    if (p == std::string::npos) continue;
    // The state inside a "stat" reply (right after its UserId line) is not a change.
    if (i > 0 && lines_[i - 1].find("UserId=") != std::string::npos) continue;
    out.push_back(std::atoi(lines_[i].c_str() + p + 9));
  }
  return out;
}

std::optional<std::string> Core::Last(const std::string& key) {
  Pump();
  for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
    std::size_t p = it->find(key + "=");
    if (p != std::string::npos) return it->substr(p + key.size() + 1);
  }
  return std::nullopt;
}

std::optional<int> Core::Wait(int timeout_ms) {
  auto code = platform::process::Wait(pid_, timeout_ms);
  if (code) ended_ = true;
  Pump();
  return code;
}

void Core::KillHard() {
  auto killer = platform::process::Start({"kill", "-KILL", std::to_string(pid_)});
  if (killer) platform::process::Wait(*killer, 10000);
}

}  // namespace kestra::e2e
