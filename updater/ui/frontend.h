// What a frontend does for the window-message model: it shows the dialog's
// state, asks message boxes and hands the player's input back to the dialog.
// All calls arrive on the UI thread, except Wake().
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kestra::ui {

class Dialog;

enum class Buttons { OK, OKCancel, YesNo, RetryCancel };
enum class Icon { None, Error, Warning, Info };
enum class Answer { OK, Cancel, Yes, No, Retry };

std::string_view ButtonsName(Buttons buttons);
std::string_view IconName(Icon icon);
std::string_view AnswerName(Answer answer);
// True when the box shows that button.
bool HasButton(Buttons buttons, Answer answer);
// The answer of a box that is closed without a choice: Cancel, else No, else OK.
Answer DefaultAnswer(Buttons buttons);

class Frontend {
 public:
  virtual ~Frontend() = default;

  // Texts are GBK. owner is null for a box without owner window.
  virtual Answer ShowMessageBox(Dialog* owner, std::string_view text,
                                std::string_view caption, Buttons buttons,
                                Icon icon) = 0;

  // Blocks the UI thread at most timeout_ms, returning early after Wake() or
  // when it handed input to the dialog (clicks, window events).
  virtual void WaitForEvents(Dialog& dialog, int timeout_ms) = 0;
  // Any thread: ends a WaitForEvents that is in progress or the next one.
  virtual void Wake() = 0;

  virtual void DialogShown(Dialog&) {}
  virtual void DialogEnded(Dialog&, int /*result*/) {}
  virtual void TitleChanged(Dialog&, std::string_view /*title*/) {}
  virtual void TextChanged(Dialog&, int /*control*/, std::string_view /*text*/) {}
  virtual void VisibleChanged(Dialog&, int /*control*/, bool /*visible*/) {}
  virtual void EnabledChanged(Dialog&, int /*control*/, bool /*enabled*/) {}
  virtual void ProgressChanged(Dialog&, int /*control*/, int /*value*/) {}
  virtual void ImageChanged(Dialog&, int /*control*/) {}
  // The area under a control must be drawn again (background included).
  virtual void Invalidate(Dialog&, int /*control*/) {}
  virtual void TimerSet(Dialog&, int /*id*/, int /*period_ms*/) {}
  virtual void TimerKilled(Dialog&, int /*id*/) {}
  virtual void UrlOpened(std::string_view /*url*/) {}
  virtual void ClickRecorded(Dialog&, int /*control*/, bool /*ignored*/) {}
};

// The process's frontend, chosen from KESTRA_UI on first use: "gui" (the
// default when DISPLAY is set), "tty" or "script".
Frontend& CurrentFrontend();
// Replaces the process's frontend (tests); returns the previous one.
std::unique_ptr<Frontend> SetFrontend(std::unique_ptr<Frontend> frontend);

// Builds the frontend named by the environment.
std::unique_ptr<Frontend> MakeFrontendFromEnvironment();

}  // namespace kestra::ui
