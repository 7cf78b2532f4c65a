#include "downloader/framework/log.h"

#include <cstdio>
#include <optional>

#include "downloader/p2plog/p2plog_api.h"
#include "platform/dynlib.h"
#include "platform/fs.h"

namespace zelt::log {

struct LogLink::Impl {
  bool tried = false;  // creation happens once, successful or not
  std::string library_path;
  platform::dynlib::Library library;
  p2plog::IP2PLog* logger = nullptr;
  p2plog::ReleaseFunction release = nullptr;
};

namespace {

LogLink& ProcessLink() {
  static LogLink* link = new LogLink();  // used up to the last line at exit
  return *link;
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

LogLink::LogLink(std::string library_path) : impl_(std::make_unique<Impl>()) {
  impl_->library_path = std::move(library_path);
}

LogLink::~LogLink() { Close(); }

void LogLink::set_library_path(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  impl_->library_path = path;
}

void LogLink::CreateLocked(const std::string& file_name, int max_old_logs) {
  Impl& s = *impl_;
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

void LogLink::Open(const std::string& file_name, int max_old_logs) {
  std::lock_guard<std::mutex> lock(mutex_);
  CreateLocked(file_name, max_old_logs);
}

void LogLink::SetLevel(int level) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (impl_->logger != nullptr) impl_->logger->SetLevel(level);
}

void LogLink::WriteV(int level, const char* module, const char* format, std::va_list args) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!impl_->tried) CreateLocked("", kDefaultMaxOldLog);
  if (impl_->logger == nullptr || format == nullptr) return;
  if (module != nullptr && *module != '\0') {
    std::string full = Prefixed(module, format);
    impl_->logger->Log(level, full.c_str(), args);
  } else {
    impl_->logger->Log(level, format, args);
  }
}

void LogLink::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (impl_->logger != nullptr && impl_->release != nullptr) impl_->release(impl_->logger);
  impl_->logger = nullptr;
  impl_->release = nullptr;
  impl_->library.Unload();
}

bool LogLink::Active() {
  std::lock_guard<std::mutex> lock(mutex_);
  return impl_->logger != nullptr;
}

void Open(const std::string& file_name, int max_old_logs) { ProcessLink().Open(file_name, max_old_logs); }
void SetLevel(int level) { ProcessLink().SetLevel(level); }
void Close() { ProcessLink().Close(); }
bool Active() { return ProcessLink().Active(); }
void UseLibraryPath(const std::string& path) { ProcessLink().set_library_path(path); }

void Write(int level, const char* module, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  ProcessLink().WriteV(level, module, format, args);
  va_end(args);
}

}  // namespace zelt::log
