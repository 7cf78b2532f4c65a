#include "updater/ui/tty_frontend.h"

#include <chrono>
#include <string>

#include "platform/charset.h"
#include "updater/ui/dialog.h"

namespace kestra::ui {
namespace {

using platform::charset::GbkToUtf8;

constexpr std::size_t kMaxInputLine = 1024;
constexpr std::size_t kMaxQueuedLines = 64;
constexpr std::size_t kMaxControlIdDigits = 6;

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
    std::optional<std::string> line = NextLine();
    if (!line) {
      std::fprintf(out_, "\n");
      return DefaultAnswer(buttons);
    }
    char key = line->empty() ? '\n' : (*line)[0];
    if (key >= 'A' && key <= 'Z') key = static_cast<char>(key - 'A' + 'a');
    if (key == '\n' && buttons == Buttons::OK) return Answer::OK;
    for (const auto& c : kChoices) {
      if (c.key == key && HasButton(buttons, c.answer)) return c.answer;
    }
  }
}

TtyFrontend::~TtyFrontend() = default;

void TtyFrontend::StartReader() {
  State& st = *state_;
  if (st.reader_started) return;
  st.reader_started = true;
  if (in_ == nullptr) {
    st.input_ended = true;
    return;
  }
  std::thread([state = state_, in = in_] {
    char buffer[kMaxInputLine];
    for (;;) {
      bool got = std::fgets(buffer, sizeof buffer, in) != nullptr;
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!got) {
        state->input_ended = true;
        state->cv.notify_all();
        return;
      }
      std::string line(buffer);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (state->lines.size() < kMaxQueuedLines) state->lines.push_back(std::move(line));
      state->woken = true;
      state->cv.notify_all();
    }
  }).detach();
}

std::optional<std::string> TtyFrontend::NextLine() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  StartReader();
  state_->cv.wait(lock, [&] { return !state_->lines.empty() || state_->input_ended; });
  if (state_->lines.empty()) return std::nullopt;
  std::string line = std::move(state_->lines.front());
  state_->lines.pop_front();
  return line;
}

void TtyFrontend::WaitForEvents(Dialog& dialog, int timeout_ms) {
  view_.Refresh(dialog, out_, dialog.MsSinceShown());
  int press = -1;
  {
    State& st = *state_;
    std::unique_lock<std::mutex> lock(st.mutex);
    StartReader();
    if (timeout_ms > 0 && !st.woken && st.lines.empty()) {
      st.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                     [&] { return st.woken || !st.lines.empty(); });
    }
    st.woken = false;
    // A line that is a control id presses that control; other lines are
    // dropped so that they cannot answer a later box by surprise.
    if (!st.lines.empty()) {
      std::string line = std::move(st.lines.front());
      st.lines.pop_front();
      if (!line.empty() && line.size() <= kMaxControlIdDigits &&
          line.find_first_not_of("0123456789") == std::string::npos) {
        press = std::stoi(line);
      }
    }
  }
  if (press >= 0) dialog.Click(press);
}

void TtyFrontend::Wake() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->woken = true;
  state_->cv.notify_all();
}

void TtyFrontend::DialogShown(Dialog&) {
  Line(GbkToUtf8("（输入控件编号并回车即可按下该控件，1008 为取消）"));
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
