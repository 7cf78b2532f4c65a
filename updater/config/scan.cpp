#include "updater/config/scan.h"

#include <cstdint>

namespace kestra::config {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Blanks and a sign; returns whether the number is negative.
bool SkipPrefix(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && IsScanSpace(text[pos])) ++pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) return text[pos++] == '-';
  return false;
}

}  // namespace

bool IsScanSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool ScanDecimal(std::string_view text, std::size_t& pos, int& value) {
  std::size_t p = pos;
  bool negative = SkipPrefix(text, p);
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX) + 1;
  std::uint64_t v = 0;
  std::size_t digits = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p, ++digits) {
    auto d = static_cast<std::uint64_t>(text[p] - '0');
    v = v > (kLimit - d) / 10 ? kLimit : v * 10 + d;
  }
  if (digits == 0) return false;
  std::int64_t signed_value;
  if (negative) {
    signed_value = v >= kLimit ? INT64_MIN : -static_cast<std::int64_t>(v);
  } else {
    signed_value = v >= kLimit ? INT64_MAX : static_cast<std::int64_t>(v);
  }
  value = static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(signed_value)));
  pos = p;
  return true;
}

bool ScanHex(std::string_view text, std::size_t& pos, int& value) {
  std::size_t p = pos;
  bool negative = SkipPrefix(text, p);
  if (p + 2 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X') &&
      HexDigit(text[p + 2]) >= 0) {
    p += 2;
  }
  std::uint64_t v = 0;
  std::size_t digits = 0;
  for (; p < text.size() && HexDigit(text[p]) >= 0; ++p, ++digits) {
    if (v <= 0xFFFFFFFFull) v = v * 16 + static_cast<std::uint64_t>(HexDigit(text[p]));
  }
  if (digits == 0) return false;
  if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;  // an unsigned conversion saturates
  auto u = static_cast<std::uint32_t>(v);
  if (negative) u = 0u - u;
  value = static_cast<int>(u);
  pos = p;
  return true;
}

}  // namespace kestra::config
