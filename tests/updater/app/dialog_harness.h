// Runs dialogs of the updater on the script frontend in this process: an
// installation in a temporary directory, answers and clicks from files, the
// transcript read back as lines.
#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/charset.h"
#include "platform/fs.h"
#include "tests/support/temp_dir.h"
#include "updater/config/update_context.h"
#include "updater/ui/script_frontend.h"
#include "tests/support/wait_until.h"

namespace kestra::test {

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// Waits (bounded) until the file has a line containing needle.
inline bool WaitForLine(const std::string& path, const std::string& needle, int max_ms = 10000) {
  return kestra::test::WaitUntil(
      [&] {
        for (const auto& l : ReadLines(path))
          if (l.find(needle) != std::string::npos) return true;
        return false;
      },
      max_ms, 10);
}

class ScriptedInstall {
 public:
  ScriptedInstall() {
    MutableContext().install_root = dir_.path() + "/";
    dir_.Write("update.ini", "[Setting]\r\nVersion=1.0.0\r\n");
  }
  ~ScriptedInstall() { MutableContext().install_root.clear(); }

  const TempDir& dir() const { return dir_; }
  std::string transcript_path() const { return dir_ / "transcript.jsonl"; }

  // A script frontend playing these answers and clicks (one per line).
  std::unique_ptr<ui::Frontend> Frontend(const std::string& answers = "",
                                         const std::string& clicks = "") const {
    dir_.Write("answers.txt", answers);
    dir_.Write("clicks.txt", clicks);
    ui::ScriptConfig config;
    config.answers_file = dir_ / "answers.txt";
    config.clicks_file = dir_ / "clicks.txt";
    config.transcript_file = transcript_path();
    platform::fs::RemoveFile(transcript_path());
    return ui::MakeScriptFrontend(config);
  }

  // The transcript lines turned back into GBK, so that they compare with the
  // literals of the tests (which the build stores as GBK).
  std::vector<std::string> Transcript() const {
    std::vector<std::string> lines = ReadLines(transcript_path());
    for (std::string& line : lines) line = platform::charset::Utf8ToGbk(line);
    return lines;
  }

 private:
  TempDir dir_;
};

}  // namespace kestra::test
