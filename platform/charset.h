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

}  // namespace platform::charset
