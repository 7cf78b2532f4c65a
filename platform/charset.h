// Text conversion for display. Inside the system every text is GBK bytes;
// only what a person or a test harness reads is turned into UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform::charset {

// Invalid or truncated sequences become U+FFFD; never fails.
std::string GbkToUtf8(std::string_view gbk);
// Characters GBK cannot hold become "?".
std::string Utf8ToGbk(std::string_view utf8);

// Profile files saved as UTF-16 (little-endian, the byte-order mark left to
// the caller) are read and written through GBK. Characters GBK cannot hold,
// and bytes that make no character, become "?".
std::string Utf16LeToGbk(std::string_view utf16);
std::string GbkToUtf16Le(std::string_view gbk);

}  // namespace platform::charset
