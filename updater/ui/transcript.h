// The script frontend's transcript: one JSON object per line, texts in UTF-8,
// each line written out at once so a killed process leaves a whole file.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kestra::ui {

// A JSON value of an event field: text (GBK, converted), number or boolean.
struct JsonValue {
  enum class Kind { Text, Number, Bool } kind;
  std::string text;
  long long number = 0;
  bool flag = false;
  JsonValue(std::string_view gbk) : kind(Kind::Text), text(gbk) {}
  JsonValue(const char* gbk) : kind(Kind::Text), text(gbk) {}
  JsonValue(int n) : kind(Kind::Number), number(n) {}
  JsonValue(long long n) : kind(Kind::Number), number(n) {}
  JsonValue(bool b) : kind(Kind::Bool), flag(b) {}
};

class Transcript {
 public:
  // An empty path records nothing.
  explicit Transcript(const std::string& path);
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  void Record(std::string_view event,
              std::initializer_list<std::pair<std::string_view, JsonValue>> fields);

  // JSON string literal (with quotes) of a GBK text.
  static std::string Quote(std::string_view gbk);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace kestra::ui
