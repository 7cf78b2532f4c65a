#include "updater/patch/verify_table.h"

#include <charconv>
#include <cstdio>

#include "platform/fs.h"
#include "updater/log/log.h"
#include "updater/patch/package_format.h"

namespace kestra::patch {

std::int64_t SizeOfFile(std::string_view path) {
  platform::fs::File file;
  if (!file.Open(path, platform::fs::Access::Read, platform::fs::Disposition::OpenExisting))
    return -1;
  const auto size = file.Size();
  return size ? *size : -1;
}

VerifyTable::VerifyTable(std::string table_path, std::string base_directory, Mode mode)
    : mode_(mode), table_path_(std::move(table_path)), base_directory_(std::move(base_directory)) {
  if (mode_ == Mode::Read) Load();
}

VerifyTable::~VerifyTable() {
  if (mode_ == Mode::Write && !written_) Write();
}

void VerifyTable::Load() {
  std::string text;
  if (!platform::fs::ReadWholeFile(table_path_, text, kMaxVerifyTableBytes)) return;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Split at every single space: exactly two fields make an entry.
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line.find(' ', space + 1) != std::string_view::npos)
      continue;
    const std::string_view name = line.substr(0, space);
    const std::string_view number = line.substr(space + 1);
    std::int64_t size = 0;
    const auto [rest, error] = std::from_chars(number.data(), number.data() + number.size(), size);
    if (error != std::errc() || rest != number.data() + number.size()) continue;
    // A size is never negative; -1 would match the "cannot size" of a missing copy.
    if (size < 0) continue;
    if (!IsSafeRelativeName(name)) {
      LogError("备份验证表中的文件名不合法，已跳过：%s", std::string(name).c_str());
      continue;
    }
    entries_.push_back(Entry{std::string(name), size});
  }
}

bool VerifyTable::AddFile(std::string_view name) {
  if (mode_ != Mode::Write) return false;
  const std::int64_t size = SizeOfFile(base_directory_ + "/" + std::string(name));
  if (size < 0) return false;
  entries_.push_back(Entry{std::string(name), size});
  return true;
}

bool VerifyTable::Verify() const {
  if (mode_ != Mode::Read || entries_.empty()) return false;
  for (const Entry& entry : entries_) {
    const std::int64_t size = SizeOfFile(base_directory_ + "/" + entry.name);
    if (size < 0 || size != entry.size) return false;
  }
  return true;
}

std::vector<std::string> VerifyTable::Names() const {
  std::vector<std::string> names;
  for (const Entry& entry : entries_) names.push_back(entry.name);
  return names;
}

bool VerifyTable::Write() {
  if (mode_ != Mode::Write) return false;
  written_ = true;
  std::string text;
  for (const Entry& entry : entries_) {
    char digits[32];
    std::snprintf(digits, sizeof digits, " %lld\r\n", static_cast<long long>(entry.size));
    text += entry.name;
    text += digits;
  }
  return platform::fs::WriteWholeFile(table_path_, text);
}

}  // namespace kestra::patch
