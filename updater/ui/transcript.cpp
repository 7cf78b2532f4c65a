#include "updater/ui/transcript.h"

#include "platform/charset.h"

namespace kestra::ui {

Transcript::Transcript(const std::string& path) {
  if (!path.empty()) file_ = std::fopen(path.c_str(), "a");
}

Transcript::~Transcript() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string Transcript::Quote(std::string_view gbk) {
  std::string utf8 = platform::charset::GbkToUtf8(gbk);
  std::string out = "\"";
  for (char c : utf8) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
          out += buffer;
        } else {
          out.push_back(c);
        }
    }
  }
  out += "\"";
  return out;
}

void Transcript::Record(std::string_view event,
                        std::initializer_list<std::pair<std::string_view, JsonValue>> fields) {
  if (file_ == nullptr) return;
  std::string line = "{\"event\":" + Quote(event);
  for (const auto& [name, value] : fields) {
    line += "," + Quote(name) + ":";
    switch (value.kind) {
      case JsonValue::Kind::Text: line += Quote(value.text); break;
      case JsonValue::Kind::Number: line += std::to_string(value.number); break;
      case JsonValue::Kind::Bool: line += value.flag ? "true" : "false"; break;
    }
  }
  line += "}\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace kestra::ui
