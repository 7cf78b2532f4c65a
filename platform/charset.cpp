#include "platform/charset.h"

#include <iconv.h>

#include <cerrno>

namespace platform::charset {
namespace {

// Converts with iconv; a sequence iconv refuses is replaced and skipped.
std::string Convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement, std::size_t skip_on_error) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  out.reserve(in.size() * 2);
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char buffer[4096];
  while (src_left > 0) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    std::size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated at the end): replace and go on.
      out.append(replacement);
      std::size_t skip = skip_on_error < src_left ? skip_on_error : src_left;
      if (errno == EINVAL) skip = src_left;
      src += skip;
      src_left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

std::size_t Utf8SequenceLength(unsigned char c) {
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  // GB18030 is a superset of GBK (code page 936) and decodes every GBK text;
  // a bad byte is skipped alone so that the next character survives.
  return Convert("UTF-8", "GB18030", gbk, "\xEF\xBF\xBD", 1);
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    // Convert character by character so an unmappable one becomes "?".
    std::size_t len = Utf8SequenceLength(static_cast<unsigned char>(utf8[pos]));
    if (pos + len > utf8.size()) len = utf8.size() - pos;
    std::string_view ch = utf8.substr(pos, len);
    if (len == 1 && static_cast<unsigned char>(ch[0]) < 0x80) {
      out.push_back(ch[0]);
    } else {
      out += Convert("GBK", "UTF-8", ch, "?", len);
    }
    pos += len;
  }
  return out;
}

std::string Utf16LeToGbk(std::string_view utf16) {
  return Convert("GBK", "UTF-16LE", utf16, "?", 2);
}

std::string GbkToUtf16Le(std::string_view gbk) {
  return Convert("UTF-16LE", "GB18030", gbk, std::string_view("?\0", 2), 1);
}

}  // namespace platform::charset
