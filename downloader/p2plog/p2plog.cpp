// The logging component: lines go to a text file, one per line, with the
// local time and the level in front. At creation an existing log is kept as
// file.1 (file.1 becomes file.2, and so on, up to max_old_logs old files).
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "downloader/p2plog/p2plog_api.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/fs.h"

// Test builds of the component may carry another version, or none.
#ifndef P2PLOG_FILE_VERSION
#define P2PLOG_FILE_VERSION "1.0.0.0"
#endif
#ifndef P2PLOG_NO_FILE_VERSION
KESTRA_FILE_VERSION(P2PLOG_FILE_VERSION);
#endif

namespace zelt::p2plog {
namespace {

constexpr const char* kDefaultFileName = "p2p.log";
constexpr int kMaxOldLogsBound = 100;
constexpr std::size_t kMaxLineBytes = 16 * 1024;

class FileLog : public IP2PLog {
 public:
  FileLog(const char* file_name, int max_old_logs) {
    name_ = (file_name != nullptr && *file_name != '\0') ? file_name : kDefaultFileName;
    if (max_old_logs < 0) max_old_logs = 0;
    if (max_old_logs > kMaxOldLogsBound) max_old_logs = kMaxOldLogsBound;
    KeepOldLogs(max_old_logs);
    file_ = std::fopen(platform::fs::NativePath(name_).c_str(), "ab");
    if (file_ == nullptr) name_.clear();
  }
  ~FileLog() override {
    if (file_ != nullptr) std::fclose(file_);
  }

  void Log(int level, const char* format, std::va_list args) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level > level_ || format == nullptr) return;
    char text[kMaxLineBytes];
    std::vsnprintf(text, sizeof text, format, args);
    platform::clock::LocalTime t = platform::clock::Now();
    char head[64];
    std::snprintf(head, sizeof head, "[%04d-%02d-%02d %02d:%02d:%02d] [%d] ", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, level);
    ++lines_;
    if (file_ != nullptr) {
      std::fputs(head, file_);
      std::fputs(text, file_);
      std::fputc('\n', file_);
      std::fflush(file_);  // a killed core leaves its lines behind
    }
    if (echo_) std::fprintf(stderr, "%s%s\n", head, text);
  }
  void Flush() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) std::fflush(file_);
  }
  int GetLevel() const override { return level_; }
  unsigned long LineCount() const override { return lines_; }
  void SetEcho(bool echo) override { echo_ = echo; }
  bool GetEcho() const override { return echo_; }
  const char* FileName() const override { return name_.c_str(); }
  bool IsOpen() const override { return file_ != nullptr; }
  void SetLevel(int level) override {
    std::lock_guard<std::mutex> lock(mutex_);
    level_ = level;
  }

 private:
  void KeepOldLogs(int max_old_logs) {
    if (!platform::fs::Exists(name_)) return;
    if (max_old_logs == 0) {
      platform::fs::RemoveFile(name_);
      return;
    }
    platform::fs::RemoveFile(name_ + "." + std::to_string(max_old_logs));
    for (int i = max_old_logs - 1; i >= 1; --i) {
      std::string from = name_ + "." + std::to_string(i);
      if (platform::fs::Exists(from)) {
        platform::fs::MoveFile(from, name_ + "." + std::to_string(i + 1), true);
      }
    }
    platform::fs::MoveFile(name_, name_ + ".1", true);
  }

  std::mutex mutex_;
  std::string name_;
  std::FILE* file_ = nullptr;
  int level_ = 5;
  unsigned long lines_ = 0;
  bool echo_ = false;
};

}  // namespace
}  // namespace zelt::p2plog

extern "C" __attribute__((visibility("default"))) zelt::p2plog::IP2PLog* Create(
    const char* file_name, int flags, int max_old_logs) {
  (void)flags;
  return new zelt::p2plog::FileLog(file_name, max_old_logs);
}

extern "C" __attribute__((visibility("default"))) void Release(zelt::p2plog::IP2PLog* log) {
  delete log;
}
