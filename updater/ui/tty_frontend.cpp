#include "updater/ui/tty_frontend.h"

#include <chrono>
#include <string>

#include "platform/charset.h"
#include "updater/ui/dialog.h"

namespace kestra::ui {
namespace {

using platform::charset::GbkToUtf8;

struct Choice {
  Answer answer;
  char key;
  const char* label;
};

constexpr Choice kChoices[] = {
    {Answer::OK, 'o', "(O)K"},      {Answer::Yes, 'y', "(Y)es"},
    {Answer::No, 'n', "(N)o"},      {Answer::Retry, 'r', "(R)etry"},
    {Answer::Cancel, 'c', "(C)ancel"},
};

std::string ControlLabel(const Dialog&, int control) { return "[" + std::to_string(control) + "]"; }

}  // namespace

TtyFrontend::TtyFrontend(std::FILE* in, std::FILE* out) : in_(in), out_(out) {}

void TtyFrontend::Line(const std::string& utf8) {
  std::fprintf(out_, "%s\n", utf8.c_str());
  std::fflush(out_);
}

Answer TtyFrontend::ShowMessageBox(Dialog*, std::string_view text, std::string_view caption,
                                   Buttons buttons, Icon icon) {
  Line("== " + GbkToUtf8(caption) + " (" + std::string(IconName(icon)) + ") ==");
  Line(GbkToUtf8(text));
  std::string prompt;
  for (const auto& c : kChoices) {
    if (!HasButton(buttons, c.answer)) continue;
    if (!prompt.empty()) prompt += " / ";
    prompt += c.label;
  }
  for (;;) {
    std::fprintf(out_, "%s? ", prompt.c_str());
    std::fflush(out_);
    char buffer[256];
    if (in_ == nullptr || std::fgets(buffer, sizeof buffer, in_) == nullptr) {
      std::fprintf(out_, "\n");
      return DefaultAnswer(buttons);
    }
    char key = buffer[0];
    if (key >= 'A' && key <= 'Z') key = static_cast<char>(key - 'A' + 'a');
    if (key == '\n' && buttons == Buttons::OK) return Answer::OK;
    for (const auto& c : kChoices) {
      if (c.key == key && HasButton(buttons, c.answer)) return c.answer;
    }
  }
}

void TtyFrontend::WaitForEvents(Dialog&, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeout_ms > 0 && !woken_) {
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return woken_; });
  }
  woken_ = false;
}

void TtyFrontend::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  cv_.notify_all();
}

void TtyFrontend::TitleChanged(Dialog&, std::string_view title) {
  Line("### " + GbkToUtf8(title) + " ###");
}

void TtyFrontend::TextChanged(Dialog& dialog, int control, std::string_view text) {
  Line(ControlLabel(dialog, control) + " " + GbkToUtf8(text));
}

void TtyFrontend::VisibleChanged(Dialog& dialog, int control, bool visible) {
  Line(ControlLabel(dialog, control) + (visible ? " shown" : " hidden"));
}

void TtyFrontend::ProgressChanged(Dialog& dialog, int control, int value) {
  Line(ControlLabel(dialog, control) + " " + std::to_string(value) + "%");
}

void TtyFrontend::UrlOpened(std::string_view url) { Line("open " + GbkToUtf8(url)); }

void TtyFrontend::DialogEnded(Dialog&, int result) { Line("end " + std::to_string(result)); }

std::unique_ptr<Frontend> MakeTtyFrontend() { return std::make_unique<TtyFrontend>(stdin, stdout); }

}  // namespace kestra::ui
