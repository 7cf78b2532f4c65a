// The sectioned text of the resume file.
//
// Reading: every line is trimmed of blanks, tabs and CR; empty lines and
// lines starting with "#" are skipped; "[name]" opens a section; any other
// line is "key = value", split at the first "=" (a later equal key replaces
// the earlier); a line without "=" fails the whole read. Writing: sections
// and keys in ascending byte order, "key = value", CR LF line ends, an empty
// line after each section.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zelt {

class IniFile {
 public:
  using Section = std::map<std::string, std::string>;

  // false for a line without "=", or a text beyond kMaxResumeBytes.
  bool Parse(std::string_view text);
  std::string Text() const;

  std::optional<std::string> Get(const std::string& section, const std::string& key) const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
  const std::map<std::string, Section>& sections() const { return sections_; }

 private:
  std::map<std::string, Section> sections_;
};

// A number of the resume file: unsigned 32-bit with automatic base ("0x"
// hexadecimal, a leading "0" octal, otherwise decimal). The whole text must
// be the number; a leading "-" negates modulo 2^32, so that the values
// written as signed 32-bit numbers read back. "00" is 0; "x1", "", "08",
// "12abc" and anything beyond 32 bits are refused.
bool ParseResumeNumber(std::string_view text, std::uint32_t& out);

}  // namespace zelt
