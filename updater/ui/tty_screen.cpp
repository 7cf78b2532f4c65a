#include "updater/ui/tty_screen.h"

#include <algorithm>
#include <cstdio>

#include "platform/charset.h"
#include "updater/ui/dialog.h"
#include "updater/ui/gui/notice_lines.h"
#include "updater/ui/tty_dialog_view.h"

namespace kestra::ui {
namespace {

using platform::charset::GbkToUtf8;

// The updater's main dialog (template 102) and the roles of its controls.
constexpr int kMainTemplate = 102;
constexpr int kDownloadBar = 1000;
constexpr int kInstallBar = 1001;
constexpr int kPackageName = 1002;
constexpr int kTotalSize = 1003;
constexpr int kStatusLine = 1004;
constexpr int kDownloaded = 1005;
constexpr int kBarLabel = 1006;
constexpr int kCancel = 1008;
constexpr int kNotice = 1020;
constexpr int kLinks[] = {1010, 1011, 1012, 1019, 1021};
constexpr std::size_t kMaxLinkKeyDigits = 2;
constexpr std::size_t kMaxControlIdDigits = 6;

// Our own texts are UTF-8 in the source and must stay so: u8 literals are
// not turned into GBK by the build.
std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::uint32_t DecodeAt(std::string_view s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  std::uint32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
  ++i;
  while (extra-- > 0 && i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  return cp;
}

bool IsWide(std::uint32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

std::uint64_t LeadingNumber(std::string_view text) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  for (std::size_t digits = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 19;
       ++i, ++digits)
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  return value;
}

std::string Text(const Dialog& d, int id) {
  const ControlState* c = d.Control(id);
  return c != nullptr && c->visible ? GbkToUtf8(c->text) : std::string();
}

bool Shown(const Dialog& d, int id) {
  const ControlState* c = d.Control(id);
  return c != nullptr && c->visible;
}

std::string PadTo(std::string text, int columns) {
  int width = DisplayWidth(text);
  if (width < columns) text += std::string(static_cast<std::size_t>(columns - width), ' ');
  return text;
}

std::string Bar(int value, int width) {
  value = std::clamp(value, 0, 100);
  const int filled = value * width / 100;
  std::string bar = "[";
  for (int i = 0; i < width; ++i) bar += i < filled ? U8(u8"█") : U8(u8"░");
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", value);
  return bar + "] " + percent;
}

std::vector<int> VisibleLinks(const Dialog& d) {
  std::vector<int> links;
  for (int id : kLinks)
    if (Shown(d, id)) links.push_back(id);
  return links;
}

}  // namespace

int DisplayWidth(std::string_view utf8) {
  int width = 0;
  for (std::size_t i = 0; i < utf8.size();) width += IsWide(DecodeAt(utf8, i)) ? 2 : 1;
  return width;
}

std::string FitWidth(std::string_view utf8, int columns) {
  int width = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t start = i;
    int w = IsWide(DecodeAt(utf8, i)) ? 2 : 1;
    if (width + w > columns) return std::string(utf8.substr(0, start));
    width += w;
  }
  return std::string(utf8);
}

std::string HumanBytes(std::uint64_t bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string HumanDuration(std::uint64_t seconds) {
  seconds = std::min<std::uint64_t>(seconds, 99 * 3600 + 59 * 60 + 59);
  char text[32];  // room for any 64-bit value the compiler must assume
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu",
                static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
  return text;
}

int ControlForKey(const Dialog& dialog, std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.empty()) return -1;
  const bool main = dialog.dialog_template().id == kMainTemplate;
  if (main && (line == "c" || line == "C")) return kCancel;
  if (line.size() > kMaxControlIdDigits || line.find_first_not_of("0123456789") != std::string_view::npos)
    return -1;
  const int number = static_cast<int>(LeadingNumber(line));
  if (main && line.size() <= kMaxLinkKeyDigits) {
    std::vector<int> links = VisibleLinks(dialog);
    return number >= 1 && static_cast<std::size_t>(number) <= links.size() ? links[number - 1] : -1;
  }
  return number;
}

void TtyScreen::Observe(const Dialog& dialog, std::uint64_t now_ms) {
  if (dialog.dialog_template().id != kMainTemplate) return;
  const std::uint64_t bytes = LeadingNumber(Text(dialog, kDownloaded));
  // A new package starts from nothing again.
  if (!samples_.empty() && bytes < samples_.back().second) samples_.clear();
  if (samples_.empty() || samples_.back().second != bytes || now_ms - samples_.back().first >= 1000)
    samples_.emplace_back(now_ms, bytes);
  while (samples_.size() > kTtyMaxRateSamples ||
         (samples_.size() > 2 && now_ms - samples_.front().first > kTtyRateWindowMs))
    samples_.pop_front();
}

double TtyScreen::Rate() const {
  if (samples_.size() < 2) return 0;
  const auto& [first_ms, first_bytes] = samples_.front();
  const auto& [last_ms, last_bytes] = samples_.back();
  if (last_ms - first_ms < kTtyMinRateSpanMs || last_bytes <= first_bytes) return 0;
  return static_cast<double>(last_bytes - first_bytes) * 1000.0 /
         static_cast<double>(last_ms - first_ms);
}

std::vector<std::string> TtyScreen::Render(const Dialog& d, int columns) const {
  columns = columns <= 0 ? kTtyDefaultColumns : std::min(columns, kTtyMaxColumns);
  std::vector<std::string> lines;
  auto add = [&](const std::string& line) { lines.push_back(FitWidth(line, columns - 1)); };

  if (d.dialog_template().id != kMainTemplate) {
    std::string text = RenderDialogText(d);
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      add(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  std::string rule;
  for (int i = 0; i < std::min(columns - 1, 72); ++i) rule += U8(u8"─");
  add(" " + GbkToUtf8(d.title()));
  add(rule);
  const int label = 16;
  const std::string package = Text(d, kPackageName);
  add(PadTo(U8(u8" 更新包版本号"), label) + (package.empty() ? U8(u8"—") : package));
  const std::uint64_t total = LeadingNumber(Text(d, kTotalSize));
  add(PadTo(U8(u8" 当前更新数据量"), label) +
      (Text(d, kTotalSize).empty() ? U8(u8"—")
                                   : HumanBytes(total) + " (" + std::to_string(total) + " byte)"));
  add("");

  // The notice, its first lines.
  const ControlState* notice = d.Control(kNotice);
  add(U8(u8" 公告"));
  std::vector<std::string> notice_lines;
  if (notice != nullptr && notice->visible) notice_lines = gui::NoticeDisplayLines(notice->text);
  while (!notice_lines.empty() && notice_lines.back().find_first_not_of(' ') == std::string::npos)
    notice_lines.pop_back();
  if (notice_lines.empty()) add(U8(u8"   (暂无公告)"));
  for (std::size_t i = 0; i < notice_lines.size() && i < kTtyScreenNoticeLines; ++i)
    add("   " + notice_lines[i]);
  if (notice_lines.size() > kTtyScreenNoticeLines)
    add(U8(u8"   (还有 ") + std::to_string(notice_lines.size() - kTtyScreenNoticeLines) +
        U8(u8" 行)"));
  add("");

  // Both bars.
  const int bar_width = std::clamp(columns - 62, 10, 40);
  const int download = d.Progress(kDownloadBar);
  std::string line = PadTo(U8(u8" 下载"), 10) + Bar(download, bar_width);
  const std::uint64_t downloaded = LeadingNumber(Text(d, kDownloaded));
  if (total > 0) line += "  " + HumanBytes(downloaded) + " / " + HumanBytes(total);
  const double rate = Rate();
  if (rate > 0 && download < 100) {
    line += "  " + HumanBytes(static_cast<std::uint64_t>(rate)) + "/s";
    if (total > downloaded)
      line += U8(u8"  剩余 ") +
              HumanDuration(static_cast<std::uint64_t>(static_cast<double>(total - downloaded) / rate));
  }
  add(line);
  std::string bar_label = Text(d, kBarLabel);
  add(PadTo(" " + (bar_label.empty() ? U8(u8"更新进度") : bar_label), 10) +
      Bar(d.Progress(kInstallBar), bar_width));
  const std::string status = Text(d, kStatusLine);
  add(PadTo(U8(u8" 状态"), 10) + status);
  add("");

  // Links by number, then how to leave.
  std::vector<int> links = VisibleLinks(d);
  if (!links.empty()) {
    std::string row = U8(u8" 链接 ");
    for (std::size_t i = 0; i < links.size(); ++i)
      row += "  " + std::to_string(i + 1) + " " + Text(d, links[i]);
    add(row);
  }
  const ControlState* cancel = d.Control(kCancel);
  if (cancel != nullptr && cancel->visible && cancel->enabled) {
    add(links.empty() ? U8(u8" 输入 c 并回车取消更新")
                      : U8(u8" 输入 c 并回车取消更新；输入链接编号并回车打开链接"));
  } else {
    add(U8(u8" 正在安装，请勿关闭"));
  }
  return lines;
}

}  // namespace kestra::ui
