// Profile (INI) files with the behaviour of the system's private profile
// functions: sections and keys match without regard to ASCII case, anything
// missing yields the default, and a write creates the file, the section or the
// key as needed and keeps every other line as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::profile {

// The value of key in section, or the default; leading and trailing blanks are
// dropped from the value (and from the default), one pair of enclosing quotes
// is removed, and the result is cut to buffer_size - 1 bytes.
std::string GetString(std::string_view file, std::string_view section,
                      std::string_view key, std::string_view default_value,
                      std::size_t buffer_size = 1024);

// Sets key=value in section. value == nullopt deletes the key. The file is
// replaced atomically, so a failed write leaves the old file untouched.
bool WriteString(std::string_view file, std::string_view section,
                 std::string_view key, std::optional<std::string_view> value);

// Removes the whole section.
bool DeleteSection(std::string_view file, std::string_view section);

// The parsing and editing steps on an in-memory text, used by the functions
// above and directly testable.
std::string LookUp(std::string_view text, std::string_view section,
                   std::string_view key, std::string_view default_value,
                   std::size_t buffer_size = 1024);
std::string Edit(std::string_view text, std::string_view section,
                 std::optional<std::string_view> key,
                 std::optional<std::string_view> value);

// ASCII case-insensitive comparison that leaves the trail byte of a GBK
// double-byte character alone, so two different Chinese names never match.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace platform::profile
