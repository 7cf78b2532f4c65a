// Logging of the downloader core through the optional component "p2plog".
//
// The component is looked for by name; only file version 1.0 is accepted. A
// library of another version leaves a note beside it (its path + ".txt") and
// logging stays off; without the library nothing is logged and nothing fails.
// The first of Open and the first line creates the logger: Open with the log
// file name, a line before it with an empty name and 10 old logs.
#pragma once

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>

namespace zelt::log {

// Levels: 0 most severe ... 5 trace.
enum Level : int {
  kFatal = 0,
  kError = 1,
  kWarning = 2,
  kNotice = 3,
  kInfo = 4,
  kTrace = 5,
};

inline constexpr const char* kLogFileName = "p2p.log";
inline constexpr int kDefaultMaxOldLog = 10;
// Text left beside a library of another version.
inline constexpr const char* kExpiredFormat = "版本已过期，请使用新版本。文件版本号：%d.%d.%s.%s";

// Creates the logger with the file name (once; later calls do nothing).
void Open(const std::string& file_name, int max_old_logs);
// Hands the level to the logger.
void SetLevel(int level);
// One line, tagged with the module's name when module is not empty.
void Write(int level, const char* module, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Releases the logger and unloads the component.
void Close();
// True while a logger is attached.
bool Active();

// Where the component is taken from: by default it is searched by name; tests
// point at a given file. Takes effect before the logger is created.
void UseLibraryPath(const std::string& path);

// One attachment to the component; the functions above use the process's
// own. library_path empty: the component is searched by name.
class LogLink {
 public:
  explicit LogLink(std::string library_path = {});
  ~LogLink();
  LogLink(const LogLink&) = delete;
  LogLink& operator=(const LogLink&) = delete;

  void Open(const std::string& file_name, int max_old_logs);
  void SetLevel(int level);
  void WriteV(int level, const char* module, const char* format, std::va_list args);
  void Close();
  bool Active();
  void set_library_path(const std::string& path);

 private:
  struct Impl;
  void CreateLocked(const std::string& file_name, int max_old_logs);

  std::mutex mutex_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zelt::log

// Shorthand for services that log under their module name.
#define ZLOG(level, module, ...) ::zelt::log::Write((level), (module), __VA_ARGS__)
