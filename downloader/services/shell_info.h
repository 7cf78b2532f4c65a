// Every line the downloader core sends leaves through ShellInfo: on the
// control channel once the program has handed it over, on the standard
// output before that.
#pragma once

#include <mutex>
#include <string_view>

#include "shared/interactive/interactive.h"

namespace zelt {

class ShellInfo {
 public:
  static ShellInfo& Instance();

  virtual ~ShellInfo() = default;
  // The text as it is.
  virtual bool Write(std::string_view text);
  // The text, then a line feed, as two writes under one lock so that lines
  // of different threads never mix.
  virtual bool WriteLine(std::string_view text);

  // nullptr goes back to the standard output.
  void SetChannel(kestra::interactive::IInteractive* channel);

 private:
  bool WriteLocked(std::string_view text);

  std::mutex mutex_;
  kestra::interactive::IInteractive* channel_ = nullptr;
};

// The output level gates the kinds of line: interactive at 0 or more,
// warnings at 4 or more, information at 5 or more; a negative level silences
// everything.
inline constexpr int kInteractiveLevel = 0;
inline constexpr int kWarningLevel = 4;
inline constexpr int kInfoLevel = 5;
inline constexpr int kMaxOutputLevel = 6;

int OutputLevel();
void SetOutputLevel(int level);

// "[Interactive]" / "[Warning]" / "[Info]" + the formatted text + line feed.
// -1 without output when the level is too low, else 1 when the write
// succeeded and 0 when it failed.
int Interactive(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Info(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One interactive "key=value" line, the value formatted printf-style:
// InteractiveValue(protocol::kKeyP2PState, "%d", state).
int InteractiveValue(const char* key, const char* value_format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace zelt
