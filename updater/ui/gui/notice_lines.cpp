#include "updater/ui/gui/notice_lines.h"

#include "platform/charset.h"

namespace kestra::ui::gui {

std::vector<std::string> NoticeDisplayLines(std::string_view gbk) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = gbk.find("\r\n", start);
    std::string line(gbk.substr(start, end == std::string_view::npos ? gbk.size() - start
                                                                     : end - start));
    // A GBK trail byte is never below 0x40, so this touches whole characters only.
    for (char& c : line) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7F) c = ' ';
    }
    lines.push_back(platform::charset::GbkToUtf8(line));
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  return lines;
}

}  // namespace kestra::ui::gui
