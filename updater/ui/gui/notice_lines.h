// The notice text as the notice box shows it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestra::ui::gui {

// Display lines in UTF-8: lines break only at CR LF (as in the system's edit
// control), other control bytes show as blanks, invalid GBK sequences become
// U+FFFD. Never fails, whatever the bytes.
std::vector<std::string> NoticeDisplayLines(std::string_view gbk);

}  // namespace kestra::ui::gui
