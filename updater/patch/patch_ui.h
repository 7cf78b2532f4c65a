// What the patch engine needs of the updater's window while it works on the
// dialog's thread: the message pump, the status line (1004), message boxes,
// the numbered error message and the waits between retries.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "updater/ui/frontend.h"

namespace kestra::ui {
class Dialog;
}

namespace kestra::patch {

inline constexpr int kStatusLineControl = 1004;

class PatchUi {
 public:
  virtual ~PatchUi() = default;
  // Processes the window messages that are waiting.
  virtual void PumpMessages() = 0;
  virtual void SetStatusText(std::string_view text) = 0;
  // An empty caption means the default caption of the program's boxes.
  virtual ui::Answer Ask(std::string_view text, std::string_view caption,
                         ui::Buttons buttons, ui::Icon icon) = 0;
  // The numbered error message of the updater (number from its error table).
  virtual void ShowUpdateError(int number, std::string_view text) = 0;
  // Blocks the calling (dialog) thread between two attempts.
  virtual void Wait(std::uint32_t ms) = 0;
};

// Default caption of message boxes that name none: the program's name.
inline constexpr std::string_view kDefaultCaption = "kestra";

using UpdateErrorFn = std::function<void(int number, std::string_view text)>;

// The updater's dialog: pump, status line 1004 and boxes owned by the dialog.
// show_update_error is the updater's numbered error message; without one a
// plain box with the text and the number is shown.
class DialogPatchUi : public PatchUi {
 public:
  explicit DialogPatchUi(ui::Dialog& dialog, UpdateErrorFn show_update_error = {});
  void PumpMessages() override;
  void SetStatusText(std::string_view text) override;
  ui::Answer Ask(std::string_view text, std::string_view caption, ui::Buttons buttons,
                 ui::Icon icon) override;
  void ShowUpdateError(int number, std::string_view text) override;
  void Wait(std::uint32_t ms) override;

 private:
  ui::Dialog& dialog_;
  UpdateErrorFn show_update_error_;
};

// No dialog (the release tool): boxes go to the process's frontend (KESTRA_UI)
// without owner, the status line is logged.
class PlainPatchUi : public PatchUi {
 public:
  explicit PlainPatchUi(UpdateErrorFn show_update_error = {});
  void PumpMessages() override {}
  void SetStatusText(std::string_view text) override;
  ui::Answer Ask(std::string_view text, std::string_view caption, ui::Buttons buttons,
                 ui::Icon icon) override;
  void ShowUpdateError(int number, std::string_view text) override;
  void Wait(std::uint32_t ms) override;
  const std::string& status_text() const { return status_text_; }

 private:
  UpdateErrorFn show_update_error_;
  std::string status_text_;
};

// Fallback text of the numbered error message: the text, an empty line and
// the number.
std::string PlainUpdateErrorText(int number, std::string_view text);

}  // namespace kestra::patch
