#include "updater/ui/tty_dialog_view.h"

#include <algorithm>
#include <vector>

#include "platform/charset.h"
#include "updater/ui/dialog.h"
#include "updater/ui/gui/notice_lines.h"

namespace kestra::ui {
namespace {

// Controls whose tops are this close (dialog units) share a row.
constexpr int kRowTolerance = 4;

std::string Bar(int value) {
  int filled = std::clamp(value, 0, 100) * kTtyBarWidth / 100;
  std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(kTtyBarWidth - filled), '-') + "]";
  std::string percent = std::to_string(std::clamp(value, 0, 100));
  return bar + " " + std::string(3 - std::min<std::size_t>(3, percent.size()), ' ') + percent + "%";
}

// Cuts a UTF-8 line without splitting a character.
std::string Cut(std::string line) {
  if (line.size() <= kTtyMaxLineBytes) return line;
  std::size_t at = kTtyMaxLineBytes;
  while (at > 0 && (static_cast<unsigned char>(line[at]) & 0xC0) == 0x80) --at;
  line.resize(at);
  return line + "...";
}

}  // namespace

std::string RenderDialogText(const Dialog& dialog) {
  std::vector<const ControlState*> shown;
  for (const ControlState& c : dialog.controls())
    if (c.visible) shown.push_back(&c);
  std::stable_sort(shown.begin(), shown.end(), [](const ControlState* a, const ControlState* b) {
    return a->spec.y != b->spec.y ? a->spec.y < b->spec.y : a->spec.x < b->spec.x;
  });

  std::string out = "==== " + platform::charset::GbkToUtf8(dialog.title()) + " ====\n";
  std::size_t i = 0;
  while (i < shown.size()) {
    int row_y = shown[i]->spec.y;
    std::vector<const ControlState*> row;
    while (i < shown.size() && shown[i]->spec.y - row_y <= kRowTolerance) row.push_back(shown[i++]);
    std::sort(row.begin(), row.end(), [](auto a, auto b) { return a->spec.x < b->spec.x; });
    std::vector<std::string> cells;
    std::vector<std::string> notice;
    for (const ControlState* c : row) {
      std::string text = platform::charset::GbkToUtf8(c->text);
      switch (c->spec.kind) {
        case ControlKind::Static:
        case ControlKind::TransparentStatic:
          if (!text.empty()) cells.push_back(text);
          break;
        case ControlKind::Progress: cells.push_back(Bar(c->progress)); break;
        case ControlKind::Button: cells.push_back("[" + std::to_string(c->spec.id) + "]"); break;
        case ControlKind::HyperLink: cells.push_back("<" + text + ">"); break;
        case ControlKind::NoticeEdit: {
          std::vector<std::string> lines = gui::NoticeDisplayLines(c->text);
          std::size_t shown_lines = std::min<std::size_t>(lines.size(), kTtyNoticeLines);
          for (std::size_t k = 0; k < shown_lines; ++k) notice.push_back("  | " + Cut(lines[k]));
          if (lines.size() > shown_lines)
            notice.push_back("  | (" + std::to_string(lines.size() - shown_lines) + " more lines)");
          break;
        }
      }
    }
    if (!cells.empty()) {
      std::string line;
      for (const std::string& cell : cells) line += (line.empty() ? "" : "   ") + cell;
      out += Cut(line) + "\n";
    }
    for (const std::string& l : notice) out += l + "\n";
  }
  return out;
}

bool TtyDialogView::Refresh(const Dialog& dialog, std::FILE* out, std::uint64_t now_ms) {
  if (printed_ && now_ms - last_ms_ < interval_ms_) return false;
  std::string text = RenderDialogText(dialog);
  if (printed_ && text == last_) return false;
  std::fputs(text.c_str(), out);
  std::fflush(out);
  last_ = std::move(text);
  last_ms_ = now_ms;
  printed_ = true;
  return true;
}

}  // namespace kestra::ui
