// The updater's dialog as one terminal screen, drawn again in place: title,
// package name and size, the notice, both bars with percentage (the download
// bar with its rate and time left), the status line, the links and how to
// cancel. Dialogs of other templates get the generic row layout.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestra::ui {

class Dialog;

inline constexpr int kTtyDefaultColumns = 80;
inline constexpr int kTtyMaxColumns = 120;
inline constexpr int kTtyScreenNoticeLines = 5;
// Downloaded-byte samples older than this do not count for the rate.
inline constexpr std::uint64_t kTtyRateWindowMs = 5000;
inline constexpr std::uint64_t kTtyMinRateSpanMs = 800;
inline constexpr std::size_t kTtyMaxRateSamples = 64;

// Columns a UTF-8 text takes on a terminal (East Asian wide characters count
// two); and the text cut to fit, without splitting a character.
int DisplayWidth(std::string_view utf8);
std::string FitWidth(std::string_view utf8, int columns);

// "2.1 MB" style sizes and "01:02:03" durations.
std::string HumanBytes(std::uint64_t bytes);
std::string HumanDuration(std::uint64_t seconds);

// What a key line typed on the screen means: the control it presses, or -1.
// "c" cancels, a small number opens the link of that number, a control id
// presses that control.
int ControlForKey(const Dialog& dialog, std::string_view line);

class TtyScreen {
 public:
  // Takes a sample of the downloaded bytes (call whenever the screen may
  // be drawn).
  void Observe(const Dialog& dialog, std::uint64_t now_ms);
  // UTF-8 lines, each at most columns wide.
  std::vector<std::string> Render(const Dialog& dialog, int columns) const;
  // Bytes per second over the recent samples; 0 while unknown.
  double Rate() const;

 private:
  std::deque<std::pair<std::uint64_t, std::uint64_t>> samples_;  // (ms, bytes)
};

}  // namespace kestra::ui
