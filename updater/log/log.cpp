#include "updater/log/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"

namespace kestra::log {
namespace {

constexpr std::size_t kMaxLineBytes = 64 * 1024;
constexpr const char* kAsterisks = "***********************************************";  // 47

struct LogFile {
  std::string name;
  std::FILE* stream = nullptr;
  int references = 0;
};

struct Channel {
  std::string name;
  LogFile* file = nullptr;
};

// Lives until the process ends; never destroyed, so that a thread that logs
// while the process exits finds a closed manager, not freed memory.
class LogManager {
 public:
  static LogManager& Get() {
    static LogManager* manager = [] {
      auto* m = new LogManager();
      std::atexit([] { LogManager::Get().CloseAll(); });
      return m;
    }();
    return *manager;
  }

  int OpenChannel(int id, std::string_view file_name, std::string_view channel_name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (id == -1) {
      for (int candidate = 1; candidate <= 255; ++candidate) {
        if (channels_.count(candidate) == 0) {
          id = candidate;
          break;
        }
      }
      if (id == -1) return -1;
    }
    if (id < 0 || id > 255 || channels_.count(id) != 0) return -1;
    auto& file = files_[std::string(file_name)];
    if (!file) {
      file = std::make_unique<LogFile>();
      file->name = file_name;
      std::string path = base_dir_ + "/Log/" + std::string(file_name);
      file->stream = std::fopen(platform::fs::NativePath(path).c_str(), "wb");
      if (file->stream != nullptr) {
        auto t = platform::clock::Now();
        std::fprintf(file->stream, "[%04d-%02d-%02d %02d:%02d:%02d] Filename: %s\r\n", t.year,
                     t.month, t.day, t.hour, t.minute, t.second, file->name.c_str());
        std::fflush(file->stream);
      }
      file->references = 1;
    }
    file->references++;
    if (file->stream == nullptr) return -1;
    channels_[id] = Channel{std::string(channel_name), file.get()};
    return id;
  }

  void AddErrorCallback(int id, ErrorCallback fn) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto& list = callbacks_[id];
    if (std::find(list.begin(), list.end(), fn) == list.end()) list.push_back(fn);
  }

  void Write(int id, bool error, const char* format, va_list args) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = channels_.find(id);
    if (it == channels_.end() || it->second.file->stream == nullptr) return;
    std::FILE* out = it->second.file->stream;

    char message[kMaxLineBytes];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(message, sizeof message, format, copy);
    va_end(copy);

    auto t = platform::clock::Now();
    char prefix[300];
    std::snprintf(prefix, sizeof prefix, "[%02d:%02d:%02d] [%s] ", t.hour, t.minute, t.second,
                  it->second.name.c_str());
    std::string text = prefix;
    if (error) text += std::string("[ERROR]\n") + kAsterisks + "\n";
    text += message;
    text += "\n";
    if (error) text += std::string(kAsterisks) + "\n";
    WriteText(out, text);

    if (error) {
      auto cb = callbacks_.find(id);
      if (cb != callbacks_.end()) {
        for (ErrorCallback fn : cb->second) {
          va_list again;
          va_copy(again, args);
          fn(format, again);
          va_end(again);
        }
      }
    }
  }

  void SetBaseDir(std::string_view dir) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    base_dir_ = dir;
    platform::fs::MakeDirectory(base_dir_ + "/Log");
  }

  void CloseAll() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (auto& [name, file] : files_) {
      if (file->stream != nullptr) std::fclose(file->stream);
      file->stream = nullptr;
    }
    channels_.clear();
    files_.clear();
    callbacks_.clear();
  }

 private:
  // The log is a text file: every line break is written as CR LF.
  static void WriteText(std::FILE* out, const std::string& text) {
    std::string crlf;
    crlf.reserve(text.size() + 8);
    for (char c : text) {
      if (c == '\n') crlf.push_back('\r');
      crlf.push_back(c);
    }
    std::fwrite(crlf.data(), 1, crlf.size(), out);
    std::fflush(out);
  }

  std::recursive_mutex mutex_;
  std::string base_dir_;
  std::map<int, Channel> channels_;
  std::map<std::string, std::unique_ptr<LogFile>> files_;
  std::map<int, std::vector<ErrorCallback>> callbacks_;
};

}  // namespace

void SetLogBaseDir(std::string_view directory) { LogManager::Get().SetBaseDir(directory); }

int OpenChannel(int id, std::string_view file_name, std::string_view channel_name) {
  return LogManager::Get().OpenChannel(id, file_name, channel_name);
}

void AddErrorCallback(int id, ErrorCallback fn) { LogManager::Get().AddErrorCallback(id, fn); }

void VInfo(int id, const char* format, va_list args) { LogManager::Get().Write(id, false, format, args); }

void VError(int id, const char* format, va_list args) { LogManager::Get().Write(id, true, format, args); }

void Info(int id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VInfo(id, format, args);
  va_end(args);
}

void Error(int id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VError(id, format, args);
  va_end(args);
}

void CloseAll() { LogManager::Get().CloseAll(); }

}  // namespace kestra::log

void LogInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  kestra::log::VInfo(0, format, args);
  va_end(args);
}

void LogError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  kestra::log::VError(0, format, args);
  va_end(args);
}
