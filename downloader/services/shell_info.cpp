#include "downloader/services/shell_info.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "downloader/framework/log.h"
#include "shared/protocol/protocol.h"

namespace zelt {
namespace {

namespace proto = kestra::protocol;

std::atomic<int> g_output_level{0};

std::string Format(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

int Output(int needed, const char* tag, const char* format, std::va_list args) {
  if (g_output_level.load() < needed) return -1;
  std::string line(1, proto::kTagOpen);
  line += tag;
  line += proto::kTagClose;
  line += Format(format, args);
  bool ok = ShellInfo::Instance().WriteLine(line);
  ZLOG(log::kTrace, "", "ShellInfo out=%s", line.c_str());
  return ok ? 1 : 0;
}

}  // namespace

ShellInfo& ShellInfo::Instance() {
  static ShellInfo* instance = new ShellInfo();  // threads may write until exit
  return *instance;
}

bool ShellInfo::WriteLocked(std::string_view text) {
  if (channel_ != nullptr) return channel_->Write(text);
  if (text.empty()) return true;
  bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  std::fflush(stdout);
  return ok;
}

bool ShellInfo::Write(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  return WriteLocked(text);
}

bool ShellInfo::WriteLine(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool ok = WriteLocked(text);
  return WriteLocked(std::string_view(&proto::kLineEnd, 1)) && ok;
}

void ShellInfo::SetChannel(kestra::interactive::IInteractive* channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  channel_ = channel;
}

int OutputLevel() { return g_output_level.load(); }
void SetOutputLevel(int level) { g_output_level = level; }

int Interactive(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  int r = Output(kInteractiveLevel, proto::kTagInteractive, format, args);
  va_end(args);
  return r;
}

int Warning(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  int r = Output(kWarningLevel, proto::kTagWarning, format, args);
  va_end(args);
  return r;
}

int Info(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  int r = Output(kInfoLevel, proto::kTagInfo, format, args);
  va_end(args);
  return r;
}

int InteractiveValue(const char* key, const char* value_format, ...) {
  std::va_list args;
  va_start(args, value_format);
  std::string value = Format(value_format, args);
  va_end(args);
  return Interactive("%s%c%s", key, proto::kKeyValueSeparator, value.c_str());
}

}  // namespace zelt
