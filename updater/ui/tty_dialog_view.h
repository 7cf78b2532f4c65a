// The whole state of a dialog as a block of terminal text: controls laid out
// in rows as the template places them, bars drawn with characters, the notice
// box with its first lines, links in angle brackets, buttons in square ones.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestra::ui {

class Dialog;

inline constexpr int kTtyBarWidth = 20;
inline constexpr int kTtyNoticeLines = 6;
inline constexpr std::size_t kTtyMaxLineBytes = 200;

// UTF-8 text, one line per row of the dialog.
std::string RenderDialogText(const Dialog& dialog);

// Prints the rendering again when it changed, at most once per interval.
class TtyDialogView {
 public:
  explicit TtyDialogView(std::uint64_t interval_ms = 1000) : interval_ms_(interval_ms) {}
  // True when it printed.
  bool Refresh(const Dialog& dialog, std::FILE* out, std::uint64_t now_ms);

 private:
  std::uint64_t interval_ms_;
  std::uint64_t last_ms_ = 0;
  bool printed_ = false;
  std::string last_;
};

}  // namespace kestra::ui
