// The dialog in a terminal. On a terminal it is one screen drawn again in
// place, with message boxes as prompts below it; on anything else (a pipe, a
// file) it writes one plain line per change a person would care about. Input
// lines press controls: "c" cancels, a number opens that link, and message
// boxes take their answers from the same lines. Everything written is UTF-8.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "updater/ui/frontend.h"
#include "updater/ui/tty_screen.h"

namespace kestra::ui {

// Redraws of the screen are at least this far apart (a box or the end is
// drawn at once).
inline constexpr std::uint64_t kTtyRedrawIntervalMs = 250;

class TtyFrontend : public Frontend {
 public:
  enum class Mode { Screen, Lines };

  // Output goes to out; Screen mode needs a terminal there.
  TtyFrontend(std::FILE* in, std::FILE* out, Mode mode = Mode::Lines, int columns = 0);
  ~TtyFrontend() override;

  Answer ShowMessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                        Buttons buttons, Icon icon) override;
  void WaitForEvents(Dialog& dialog, int timeout_ms) override;
  void Wake() override;

  void DialogShown(Dialog& dialog) override;
  void TitleChanged(Dialog& dialog, std::string_view title) override;
  void TextChanged(Dialog& dialog, int control, std::string_view text) override;
  void ProgressChanged(Dialog& dialog, int control, int value) override;
  void UrlOpened(std::string_view url) override;
  void DialogEnded(Dialog& dialog, int result) override;

 private:
  void Line(const std::string& utf8);
  // Screen mode: draws the dialog (and a box under it) from the top.
  void Draw(const Dialog& dialog, const std::vector<std::string>& below);
  // Starts the reader once; the caller holds the state's lock.
  void StartReader();
  // The next input line; nullopt once the input has ended.
  std::optional<std::string> NextLine();

  // Shared with the reader thread, which may outlive the frontend while it
  // sits in a blocking read.
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
    std::deque<std::string> lines;  // read but not yet used
    bool input_ended = false;
    bool reader_started = false;
  };

  std::FILE* in_;
  std::FILE* out_;
  Mode mode_;
  int columns_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  TtyScreen screen_;
  Dialog* shown_ = nullptr;  // the dialog on screen, between shown and ended
  bool dirty_ = true;
  bool cleared_ = false;
  std::uint64_t last_draw_ms_ = 0;
  std::size_t drawn_lines_ = 0;
  std::map<int, std::string> last_text_;  // Lines mode: what each control said last
  std::map<int, int> last_decile_;        // Lines mode: progress printed per tenth
};

// stdin/stdout; a screen when stdout is a terminal.
std::unique_ptr<Frontend> MakeTtyFrontend();

}  // namespace kestra::ui
