// The "%d" and "%x" conversions of sscanf on byte strings, for the texts that
// come from settings files and the command line.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestra::config {

// White space as scanf skips it.
bool IsScanSpace(char c);

// From pos: blanks, an optional sign, decimal digits. The value is taken as a
// 64-bit number that saturates and is then truncated to 32 bits, as the C
// library stores a "%d" conversion. pos moves past the number; false (pos
// unchanged) when there are no digits.
bool ScanDecimal(std::string_view text, std::size_t& pos, int& value);

// From pos: blanks, an optional sign, an optional "0x" followed by a hex digit,
// hex digits; wraps into 32 bits, so "ffffffff" and "-1" are both -1.
bool ScanHex(std::string_view text, std::size_t& pos, int& value);

}  // namespace kestra::config
