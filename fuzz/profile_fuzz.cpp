// Profile text: lookups and edits of hostile INI text.
// fuzz-libs: kestra_platform
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "platform/profile.h"

namespace {

// A name the writer can always find again: letters and digits only.
bool IsPlainName(std::string_view s) {
  if (s.empty() || s.size() > 32) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

// A value that reads back as written: printable ASCII, no blanks at the
// ends, not wrapped in quotes.
bool IsPlainValue(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s) {
    if (c < 0x21 || c > 0x7E || c == '"' || c == '\'') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace profile = platform::profile;
  kestra::fuzz::ByteReader in(data, size);
  const std::size_t buffer_size = in.Byte();
  const std::string_view section = in.Field();
  const std::string_view key = in.Field();
  const std::string_view value = in.Field();
  const std::string_view text = in.Rest();

  const std::string found = profile::LookUp(text, section, key, "default", buffer_size);
  Require(buffer_size == 0 ? found.empty() : found.size() < buffer_size);

  const std::string edited = profile::Edit(text, section, key, value);
  const std::string without_key = profile::Edit(text, section, key, std::nullopt);
  const std::string without_section = profile::Edit(text, section, std::nullopt, std::nullopt);
  Require(without_key.size() <= text.size() && without_section.size() <= text.size());

  // What was written is what a lookup finds, and a second identical write
  // changes nothing.
  if (IsPlainName(section) && IsPlainName(key) && IsPlainValue(value) &&
      text.find('\0') == std::string_view::npos) {
    Require(profile::LookUp(edited, section, key, "", 1024) == value);
    Require(profile::Edit(edited, section, key, value) == edited);
  }
  (void)profile::EqualsIgnoreCase(section, key);
  return 0;
}
