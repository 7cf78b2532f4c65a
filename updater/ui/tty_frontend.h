// A text rendering of the dialog for a terminal; message boxes become prompts.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "updater/ui/frontend.h"
#include "updater/ui/tty_dialog_view.h"

namespace kestra::ui {

class TtyFrontend : public Frontend {
 public:
  // Output goes to out (UTF-8). One thread reads the lines of in: a line
  // that is a control id presses that control ("1008" cancels), and message
  // boxes take their answers from the same lines.
  TtyFrontend(std::FILE* in, std::FILE* out);
  ~TtyFrontend() override;

  Answer ShowMessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                        Buttons buttons, Icon icon) override;
  void WaitForEvents(Dialog& dialog, int timeout_ms) override;
  void Wake() override;

  void DialogShown(Dialog& dialog) override;
  void TitleChanged(Dialog& dialog, std::string_view title) override;
  void TextChanged(Dialog& dialog, int control, std::string_view text) override;
  void VisibleChanged(Dialog& dialog, int control, bool visible) override;
  void ProgressChanged(Dialog& dialog, int control, int value) override;
  void UrlOpened(std::string_view url) override;
  void DialogEnded(Dialog& dialog, int result) override;

 private:
  void Line(const std::string& utf8);
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
  std::shared_ptr<State> state_ = std::make_shared<State>();
  TtyDialogView view_;  // the whole dialog, redrawn when it changed
};

std::unique_ptr<Frontend> MakeTtyFrontend();

}  // namespace kestra::ui
