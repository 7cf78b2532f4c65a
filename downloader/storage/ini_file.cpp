#include "downloader/storage/ini_file.h"

#include <cstdint>

#include "downloader/storage/seed_limits.h"

namespace zelt {
namespace {

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

bool IniFile::Parse(std::string_view text) {
  sections_.clear();
  if (text.size() > kMaxResumeBytes) return false;
  std::string current;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = std::string(Trim(line.substr(1, line.size() - 2)));
      sections_[current];
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      sections_.clear();
      return false;
    }
    sections_[current][std::string(Trim(line.substr(0, eq)))] = std::string(Trim(line.substr(eq + 1)));
  }
  return true;
}

std::string IniFile::Text() const {
  std::string out;
  for (const auto& [name, keys] : sections_) {
    out += '[';
    out += name;
    out += "]\r\n";
    for (const auto& [key, value] : keys) {
      out += key;
      out += " = ";
      out += value;
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key) const {
  auto s = sections_.find(section);
  if (s == sections_.end()) return std::nullopt;
  auto k = s->second.find(key);
  if (k == s->second.end()) return std::nullopt;
  return k->second;
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
  sections_[section][key] = value;
}

bool ParseResumeNumber(std::string_view text, std::uint32_t& out) {
  const std::string_view whole = text;
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() >= 2 && text[0] == '0') {
    base = 8;
  }
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = DigitValue(c);
    if (digit >= base) return false;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  // A value of 0 only from a text of zeros: "0x", "-0" and the like are not numbers here.
  if (value == 0 && whole.find_first_not_of('0') != std::string_view::npos) return false;
  out = static_cast<std::uint32_t>(negative ? (0x100000000ull - value) & 0xFFFFFFFFull : value);
  return true;
}

}  // namespace zelt
