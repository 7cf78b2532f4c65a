#include "updater/patch/package_format.h"

#include <cstdio>

namespace kestra::patch {

std::uint32_t ReadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) |
         static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

void AppendLe32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

SectionView ViewSection(const std::uint8_t* record) {
  SectionView view;
  view.kind = ReadLe32(record);
  view.target_length = ReadLe32(record + 4);
  view.name_length = ReadLe32(record + 8);
  const char* name = reinterpret_cast<const char*>(record + 12);
  std::size_t length = 0;
  while (length < view.name_length && name[length] != '\0') ++length;
  view.name = std::string_view(name, length);
  view.data_length = ReadLe32(record + 12 + view.name_length);
  view.data = record + kSectionFixedSize + view.name_length;
  return view;
}

std::string PackageFileName(std::uint32_t packed_version, int micro_number) {
  char buffer[64];
  const unsigned major = packed_version >> 24;
  const unsigned minor = (packed_version >> 16) & 0xFF;
  const unsigned build = packed_version & 0xFFFF;
  if (micro_number == 0)
    std::snprintf(buffer, sizeof buffer, "patch%u.%u.%u.tq", major, minor, build);
  else
    std::snprintf(buffer, sizeof buffer, "patch%u.%u.%u.tq.%d", major, minor, build,
                  micro_number);
  return buffer;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\r' || c == '\n'; }

template <typename Fn>
void ForEachLine(std::string_view data, Fn fn) {
  std::size_t start = 0;
  while (start <= data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string_view::npos) end = data.size();
    fn(data.substr(start, end - start));
    start = end + 1;
  }
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string TrimLine(std::string_view line) {
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end && IsTrimmed(line[begin])) ++begin;
  while (end > begin && IsTrimmed(line[end - 1])) --end;
  if (begin == end) return std::string(line);
  return std::string(line.substr(begin, end - begin));
}

std::vector<std::string> ParseDeleteList(std::string_view data) {
  std::vector<std::string> names;
  ForEachLine(data, [&](std::string_view line) {
    std::string trimmed = TrimLine(line);
    if (!trimmed.empty()) names.push_back(std::move(trimmed));
  });
  return names;
}

std::vector<MoveItem> ParseMoveList(std::string_view data) {
  std::vector<MoveItem> items;
  ForEachLine(data, [&](std::string_view line) {
    std::string trimmed = TrimLine(line);
    const std::size_t split = trimmed.find(">>");
    if (split == std::string::npos) return;
    items.push_back(MoveItem{TrimLine(std::string_view(trimmed).substr(0, split)),
                             TrimLine(std::string_view(trimmed).substr(split + 2))});
  });
  return items;
}

namespace {

// The parts of a relative name between separators, without empty and "."
// parts; ".." stays for the caller to judge.
std::vector<std::string_view> NameParts(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const std::string_view part = name.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

}  // namespace

bool IsSafeRelativeName(std::string_view name) {
  if (name.empty() || IsSeparator(name[0])) return false;
  // A ":" is a drive letter or a stream name on the system these names come
  // from, wherever it stands ("x/../C:y" is "C:y" once resolved).
  if (name.find(':') != std::string_view::npos) return false;
  // The system call would see only the text before a NUL: another name.
  if (name.find('\0') != std::string_view::npos) return false;
  int depth = 0;
  for (std::string_view part : NameParts(name)) {
    if (part == "..") {
      if (--depth < 0) return false;
    } else {
      ++depth;
    }
  }
  return depth > 0;  // the root itself is no file of the installation
}

std::string NormalizeRelative(std::string_view name) {
  std::vector<std::string_view> parts;
  for (std::string_view part : NameParts(name)) {
    if (part != "..") {
      parts.push_back(part);
    } else if (!parts.empty()) {
      parts.pop_back();
    }
  }
  std::string out;
  for (std::string_view part : parts) {
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

}  // namespace kestra::patch
