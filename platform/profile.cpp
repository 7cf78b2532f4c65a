#include "platform/profile.h"

#include <string>
#include <vector>

#include "platform/fs.h"

namespace platform::profile {
namespace {

constexpr std::uint64_t kMaxProfileBytes = 16u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

struct Line {
  std::size_t begin = 0;  // offset of the line in the text
  std::size_t end = 0;    // offset after its line break
  std::string_view content;  // without the line break
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
    std::size_t content_end = stop;
    if (content_end > pos && text[content_end - 1] == '\r') --content_end;
    Line line;
    line.begin = pos;
    line.end = nl == std::string_view::npos ? text.size() : nl + 1;
    line.content = text.substr(pos, content_end - pos);
    lines.push_back(line);
    pos = line.end;
  }
  return lines;
}

// "[name]" -> name (text up to "]" or the end of the line, trimmed).
bool SectionName(std::string_view content, std::string_view& name) {
  std::string_view t = Trim(content);
  if (t.empty() || t.front() != '[') return false;
  t.remove_prefix(1);
  std::size_t close = t.find(']');
  name = Trim(close == std::string_view::npos ? t : t.substr(0, close));
  return true;
}

// "key=value" -> key and value, both trimmed. Lines without "=" are not keys.
bool KeyValue(std::string_view content, std::string_view& key, std::string_view& value) {
  std::size_t eq = content.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(content.substr(0, eq));
  value = Trim(content.substr(eq + 1));
  return true;
}

struct SectionRange {
  bool found = false;
  std::size_t header = 0;  // index of the header line
  std::size_t first = 0;   // first line after the header
  std::size_t last = 0;    // one past the last line of the section
};

SectionRange FindSection(const std::vector<Line>& lines, std::string_view section) {
  SectionRange range;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view name;
    if (!SectionName(lines[i].content, name)) continue;
    if (range.found) {
      range.last = i;
      return range;
    }
    if (EqualsIgnoreCase(name, section)) {
      range.found = true;
      range.header = i;
      range.first = i + 1;
    }
  }
  range.last = lines.size();
  return range;
}

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

std::string Cut(std::string value, std::size_t buffer_size) {
  if (buffer_size == 0) return {};
  if (value.size() > buffer_size - 1) value.resize(buffer_size - 1);
  return value;
}

std::string Defaulted(std::string_view default_value, std::size_t buffer_size) {
  std::string_view d = default_value;
  while (!d.empty() && d.back() == ' ') d.remove_suffix(1);
  return Cut(std::string(d), buffer_size);
}

bool ReadProfile(std::string_view file, std::string& text) {
  return platform::fs::ReadWholeFile(file, text, kMaxProfileBytes);
}

bool SaveProfile(std::string_view file, const std::string& text) {
  std::string target = platform::fs::NativePath(file);
  // A read-only profile stays as it is, as the system's writer leaves it.
  if (platform::fs::IsReadOnly(target)) return false;
  std::string temp = target + ".kestra-new";
  if (!platform::fs::WriteWholeFile(temp, text)) {
    platform::fs::RemoveFile(temp);
    return false;
  }
  if (!platform::fs::MoveFile(temp, target, true)) {
    platform::fs::RemoveFile(temp);
    return false;
  }
  return true;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto ca = static_cast<unsigned char>(a[i]);
    if (IsLeadByte(ca) && i + 1 < a.size()) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string LookUp(std::string_view text, std::string_view section, std::string_view key,
                   std::string_view default_value, std::size_t buffer_size) {
  auto lines = SplitLines(text);
  SectionRange range = FindSection(lines, section);
  if (range.found) {
    for (std::size_t i = range.first; i < range.last; ++i) {
      std::string_view k, v;
      if (KeyValue(lines[i].content, k, v) && EqualsIgnoreCase(k, Trim(key)))
        return Cut(Unquote(v), buffer_size);
    }
  }
  return Defaulted(default_value, buffer_size);
}

std::string Edit(std::string_view text, std::string_view section,
                 std::optional<std::string_view> key, std::optional<std::string_view> value) {
  auto lines = SplitLines(text);
  SectionRange range = FindSection(lines, section);
  std::string out;

  if (!range.found) {
    if (!key || !value) return std::string(text);  // nothing to delete
    out.assign(text);
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    if (!out.empty()) out += "\r\n";
    out += "[" + std::string(section) + "]\r\n" + std::string(*key) + "=" +
           std::string(*value) + "\r\n";
    return out;
  }

  auto begin_of = [&](std::size_t index) {
    return index < lines.size() ? lines[index].begin : text.size();
  };

  if (!key) {  // delete the whole section
    out.assign(text.substr(0, begin_of(range.header)));
    out.append(text.substr(begin_of(range.last)));
    return out;
  }

  for (std::size_t i = range.first; i < range.last; ++i) {
    std::string_view k, v;
    if (!KeyValue(lines[i].content, k, v) || !EqualsIgnoreCase(k, Trim(*key))) continue;
    out.assign(text.substr(0, lines[i].begin));
    if (value) {
      std::string_view line_end = text.substr(lines[i].begin + lines[i].content.size(),
                                              lines[i].end - lines[i].begin - lines[i].content.size());
      out += std::string(*key) + "=" + std::string(*value);
      out += line_end.empty() ? std::string_view("\r\n") : line_end;
    }
    out.append(text.substr(lines[i].end));
    return out;
  }
  if (!value) return std::string(text);

  // New key: after the last non-blank line of the section.
  std::size_t insert_after = range.header;
  for (std::size_t i = range.first; i < range.last; ++i) {
    if (!Trim(lines[i].content).empty()) insert_after = i;
  }
  std::size_t at = lines[insert_after].end;
  out.assign(text.substr(0, at));
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  out += std::string(*key) + "=" + std::string(*value) + "\r\n";
  out.append(text.substr(at));
  return out;
}

std::string GetString(std::string_view file, std::string_view section, std::string_view key,
                      std::string_view default_value, std::size_t buffer_size) {
  std::string text;
  if (!ReadProfile(file, text)) return Defaulted(default_value, buffer_size);
  return LookUp(text, section, key, default_value, buffer_size);
}

bool WriteString(std::string_view file, std::string_view section, std::string_view key,
                 std::optional<std::string_view> value) {
  std::string text;
  if (!ReadProfile(file, text) && platform::fs::Exists(file)) return false;
  return SaveProfile(file, Edit(text, section, key, value));
}

bool DeleteSection(std::string_view file, std::string_view section) {
  std::string text;
  if (!ReadProfile(file, text)) return !platform::fs::Exists(file);
  return SaveProfile(file, Edit(text, section, std::nullopt, std::nullopt));
}

}  // namespace platform::profile
