#include "downloader/framework/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>

#include "downloader/p2plog/p2plog_api.h"
#include "platform/dynlib.h"
#include "platform/fs.h"

namespace zelt::log {
namespace {

struct State {
  std::mutex mutex;
  bool tried = false;  // creation happens once, successful or not
  std::string library_path;  // empty: search by name
  platform::dynlib::Library library;
  p2plog::IP2PLog* logger = nullptr;
  p2plog::ReleaseFunction release = nullptr;
};

State& GetState() {
  static State* state = new State();  // used up to the last line at exit
  return *state;
}

// Loads the component and creates the logger; caller holds the mutex.
void CreateLocked(State& s, const std::string& file_name, int max_old_logs) {
  if (s.tried) return;
  s.tried = true;
  std::optional<std::string> path;
  if (!s.library_path.empty()) {
    if (platform::fs::Exists(s.library_path)) path = s.library_path;
  } else {
    path = platform::dynlib::Find(p2plog::kComponentName);
  }
  if (!path) return;
  std::optional<platform::dynlib::FileVersion> version = platform::dynlib::ReadFileVersion(*path);
  if (!version) return;
  if ((*version)[0] != p2plog::kVersionMajor || (*version)[1] != p2plog::kVersionMinor) {
    char note[256];
    std::snprintf(note, sizeof note, kExpiredFormat, 1, 0, "x", "x");
    platform::fs::WriteWholeFile(*path + ".txt", note);
    return;
  }
  if (!s.library.Load(*path)) return;
  auto create = reinterpret_cast<p2plog::CreateFunction>(s.library.Symbol("Create"));
  auto release = reinterpret_cast<p2plog::ReleaseFunction>(s.library.Symbol("Release"));
  if (create == nullptr || release == nullptr) {
    s.library.Unload();
    return;
  }
  s.logger = create(file_name.c_str(), 0, max_old_logs);
  if (s.logger == nullptr) {
    s.library.Unload();
    return;
  }
  s.release = release;
}

// Builds "[module] " + format with every "%" of the module doubled.
std::string Prefixed(const char* module, const char* format) {
  std::string out = "[";
  for (const char* p = module; *p != '\0'; ++p) {
    if (*p == '%') out += '%';
    out += *p;
  }
  out += "] ";
  out += format;
  return out;
}

}  // namespace

void Open(const std::string& file_name, int max_old_logs) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  CreateLocked(s, file_name, max_old_logs);
}

void SetLevel(int level) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.logger != nullptr) s.logger->SetLevel(level);
}

void Write(int level, const char* module, const char* format, ...) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.tried) CreateLocked(s, "", kDefaultMaxOldLog);
  if (s.logger == nullptr) return;
  std::va_list args;
  va_start(args, format);
  if (module != nullptr && *module != '\0') {
    std::string full = Prefixed(module, format);
    s.logger->Log(level, full.c_str(), args);
  } else {
    s.logger->Log(level, format, args);
  }
  va_end(args);
}

void Close() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.logger != nullptr && s.release != nullptr) s.release(s.logger);
  s.logger = nullptr;
  s.release = nullptr;
  s.library.Unload();
}

bool Active() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.logger != nullptr;
}

void UseLibraryPath(const std::string& path) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.library_path = path;
}

}  // namespace zelt::log
