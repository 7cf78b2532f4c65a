#include "platform/profile.h"

#include <string>

#include "platform/charset.h"
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

// One line of the text, found by scanning from an offset: lookups walk the
// text line by line without collecting the lines (a file of millions of
// empty lines costs no more memory than its size). Only "\n" ends a line, as
// for the system's functions; a CR alone stays inside the line.
struct Line {
  std::size_t begin = 0;     // offset of the line in the text
  std::size_t end = 0;       // offset after its line break
  std::string_view content;  // without the line break
};

Line LineAt(std::string_view text, std::size_t pos) {
  std::size_t nl = text.find('\n', pos);
  std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
  std::size_t content_end = stop;
  if (content_end > pos && text[content_end - 1] == '\r') --content_end;
  return Line{pos, nl == std::string_view::npos ? text.size() : nl + 1,
              text.substr(pos, content_end - pos)};
}

// The system's functions take C strings: a NUL ends a name or a value.
std::string_view UpToNul(std::string_view s) { return s.substr(0, s.find('\0')); }

// A section or key argument as the functions compare it.
std::string_view NameArgument(std::string_view s) { return Trim(UpToNul(s)); }

// "[name]" -> name (text up to "]" or the end of the line, trimmed). The "]"
// is found byte by byte, so a GBK trail byte 0x5D closes the name too.
bool SectionName(std::string_view content, std::string_view& name) {
  std::string_view t = Trim(content);
  if (t.empty() || t.front() != '[') return false;
  t.remove_prefix(1);
  std::size_t close = t.find(']');
  name = Trim(UpToNul(close == std::string_view::npos ? t : t.substr(0, close)));
  return true;
}

// "key=value" -> key and value, both trimmed. Lines without "=" are not keys.
bool KeyValue(std::string_view content, std::string_view& key, std::string_view& value) {
  std::size_t eq = content.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(UpToNul(content.substr(0, eq)));
  value = Trim(content.substr(eq + 1));
  return true;
}

// Offsets of a section: its header line, its first line after the header and
// the start of the next section's header (or the end of the text).
struct SectionRange {
  bool found = false;
  Line header;
  std::size_t body = 0;
  std::size_t end = 0;
};

SectionRange FindSection(std::string_view text, std::string_view section) {
  SectionRange range;
  for (std::size_t pos = 0; pos < text.size();) {
    Line line = LineAt(text, pos);
    pos = line.end;
    std::string_view name;
    if (!SectionName(line.content, name)) continue;
    if (range.found) {
      range.end = line.begin;
      return range;
    }
    if (EqualsIgnoreCase(name, section)) {
      range.found = true;
      range.header = line;
      range.body = line.end;
    }
  }
  range.end = text.size();
  return range;
}

// The key's line inside the section, if any.
bool FindKey(std::string_view text, const SectionRange& range, std::string_view key,
             Line& found, std::string_view& file_key, std::string_view& value) {
  for (std::size_t pos = range.body; pos < range.end;) {
    Line line = LineAt(text, pos);
    pos = line.end;
    std::string_view k, v;
    if (KeyValue(line.content, k, v) && EqualsIgnoreCase(k, key)) {
      found = line;
      file_key = k;
      value = v;
      return true;
    }
  }
  return false;
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
  std::string_view d = UpToNul(default_value);
  while (!d.empty() && d.back() == ' ') d.remove_suffix(1);
  return Cut(std::string(d), buffer_size);
}

// Notepad's "Unicode": UTF-16 little-endian after a byte-order mark.
constexpr std::string_view kUtf16Bom = "\xFF\xFE";

// The file's text in GBK; utf16 tells whether it is stored as UTF-16.
bool ReadProfile(std::string_view file, std::string& text, bool& utf16) {
  utf16 = false;
  if (!platform::fs::ReadWholeFile(file, text, kMaxProfileBytes)) return false;
  if (text.size() >= 2 && std::string_view(text).substr(0, 2) == kUtf16Bom) {
    utf16 = true;
    text = platform::charset::Utf16LeToGbk(std::string_view(text).substr(2));
  }
  return true;
}

bool SaveProfile(std::string_view file, const std::string& gbk_text, bool utf16) {
  std::string converted;
  if (utf16) converted = std::string(kUtf16Bom) + platform::charset::GbkToUtf16Le(gbk_text);
  const std::string& text = utf16 ? converted : gbk_text;
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
  SectionRange range = FindSection(text, NameArgument(section));
  Line line;
  std::string_view file_key, value;
  if (range.found && FindKey(text, range, NameArgument(key), line, file_key, value))
    return Cut(std::string(UpToNul(Unquote(value))), buffer_size);
  return Defaulted(default_value, buffer_size);
}

std::string Edit(std::string_view text, std::string_view section_argument,
                 std::optional<std::string_view> key_argument,
                 std::optional<std::string_view> value_argument) {
  const std::string_view section = NameArgument(section_argument);
  std::optional<std::string_view> key, value;
  if (key_argument) key = NameArgument(*key_argument);
  if (value_argument) value = UpToNul(*value_argument);

  SectionRange range = FindSection(text, section);
  std::string out;
  // One allocation for the new text, however large the file.
  out.reserve(text.size() + section.size() + (key ? key->size() : 0) +
              (value ? value->size() : 0) + 8);

  if (!range.found) {
    if (!key || !value) return std::string(text);  // nothing to delete
    out.assign(text);
    // Right after the last line, as the system's writer puts it.
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    out += "[" + std::string(section) + "]\r\n" + std::string(*key) + "=" +
           std::string(*value) + "\r\n";
    return out;
  }

  if (!key) {  // delete the whole section
    out.assign(text.substr(0, range.header.begin));
    out.append(text.substr(range.end));
    return out;
  }

  Line line;
  std::string_view file_key, old_value;
  if (FindKey(text, range, *key, line, file_key, old_value)) {
    out.assign(text.substr(0, line.begin));
    if (value) {
      std::string_view line_end = text.substr(line.begin + line.content.size(),
                                              line.end - line.begin - line.content.size());
      // The key keeps the file's spelling; only the value changes.
      out += std::string(file_key) + "=" + std::string(*value);
      out += line_end.empty() ? std::string_view("\r\n") : line_end;
    }
    out.append(text.substr(line.end));
    return out;
  }
  if (!value) return std::string(text);

  // New key: after the last non-blank line of the section.
  std::size_t at = range.header.end;
  for (std::size_t pos = range.body; pos < range.end;) {
    Line l = LineAt(text, pos);
    pos = l.end;
    if (!Trim(l.content).empty()) at = l.end;
  }
  out.assign(text.substr(0, at));
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  out += std::string(*key) + "=" + std::string(*value) + "\r\n";
  out.append(text.substr(at));
  return out;
}

std::string GetString(std::string_view file, std::string_view section, std::string_view key,
                      std::string_view default_value, std::size_t buffer_size) {
  std::string text;
  bool utf16 = false;
  if (!ReadProfile(file, text, utf16)) return Defaulted(default_value, buffer_size);
  return LookUp(text, section, key, default_value, buffer_size);
}

bool WriteString(std::string_view file, std::string_view section, std::string_view key,
                 std::optional<std::string_view> value) {
  std::string text;
  bool utf16 = false;
  if (!ReadProfile(file, text, utf16) && platform::fs::Exists(file)) return false;
  return SaveProfile(file, Edit(text, section, key, value), utf16);
}

bool DeleteSection(std::string_view file, std::string_view section) {
  std::string text;
  bool utf16 = false;
  if (!ReadProfile(file, text, utf16)) return !platform::fs::Exists(file);
  return SaveProfile(file, Edit(text, section, std::nullopt, std::nullopt), utf16);
}

}  // namespace platform::profile
