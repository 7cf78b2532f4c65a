#include "updater/ui/tty_frontend.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "platform/charset.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "updater/ui/dialog.h"
#include "updater/ui/gui/notice_lines.h"

namespace kestra::ui {
namespace {

using platform::charset::GbkToUtf8;

constexpr std::size_t kMaxInputLine = 1024;
constexpr std::size_t kMaxQueuedLines = 64;
constexpr std::uint64_t kRateRedrawMs = 1000;  // rate and time left move on their own

// Home, and erase to the end of the line / of the screen.
constexpr const char* kHome = "\x1b[H";
constexpr const char* kClearScreen = "\x1b[2J\x1b[H";
constexpr const char* kEraseLine = "\x1b[K";
constexpr const char* kEraseBelow = "\x1b[J";

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

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

// Names of the updater dialog's controls for plain lines; other controls are
// named by their id.
std::string NameOf(const Dialog& dialog, int control) {
  if (dialog.dialog_template().id == 102) {
    switch (control) {
      case 1000: return U8(u8"下载");
      case 1001: return U8(u8"更新进度");
      case 1002: return U8(u8"更新包");
      case 1003: return U8(u8"数据量");
      case 1004: return U8(u8"状态");
      case 1006: return U8(u8"进度条");
      case 1020: return U8(u8"公告");
      default: break;
    }
  }
  return "[" + std::to_string(control) + "]";
}

// Controls whose changes are noise as lines: bytes downloaded (the bar says
// it), links and logos (they never change).
bool QuietInLines(const Dialog& dialog, int control) {
  return dialog.dialog_template().id == 102 &&
         (control == 1005 || control == 1010 || control == 1011 || control == 1012 ||
          control == 1016 || control == 1017 || control == 1019 || control == 1021);
}

std::vector<std::string> SplitLines(const std::string& utf8) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= utf8.size()) {
    std::size_t end = utf8.find('\n', start);
    if (end == std::string::npos) end = utf8.size();
    std::string line = utf8.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string Prompt(Buttons buttons) {
  std::string prompt;
  for (const auto& c : kChoices) {
    if (!HasButton(buttons, c.answer)) continue;
    if (!prompt.empty()) prompt += " / ";
    prompt += c.label;
  }
  return prompt;
}

}  // namespace

TtyFrontend::TtyFrontend(std::FILE* in, std::FILE* out, Mode mode, int columns)
    : in_(in), out_(out), mode_(mode), columns_(columns) {}

TtyFrontend::~TtyFrontend() = default;

void TtyFrontend::Line(const std::string& utf8) {
  std::fprintf(out_, "%s\n", utf8.c_str());
  std::fflush(out_);
}

void TtyFrontend::Draw(const Dialog& dialog, const std::vector<std::string>& below) {
  const int columns = columns_ > 0 ? columns_ : platform::terminal::Columns(out_);
  std::string out = cleared_ ? kHome : kClearScreen;
  cleared_ = true;
  for (const std::string& line : screen_.Render(dialog, columns)) out += line + kEraseLine + "\n";
  for (const std::string& line : below)
    out += FitWidth(line, (columns > 0 ? columns : kTtyDefaultColumns) - 1) + kEraseLine + "\n";
  out += kEraseBelow;
  std::fputs(out.c_str(), out_);
  std::fflush(out_);
  dirty_ = false;
  last_draw_ms_ = platform::clock::SteadyMs();
}

Answer TtyFrontend::ShowMessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                                   Buttons buttons, Icon icon) {
  std::vector<std::string> box;
  const std::string head = GbkToUtf8(caption);
  const bool on_screen = mode_ == Mode::Screen && owner != nullptr && owner == shown_ &&
                         owner->IsUiThread();
  if (on_screen) {
    box.push_back("");
    box.push_back(U8(u8" ┌─ ") + head + (icon == Icon::None ? "" : " (" + std::string(IconName(icon)) + ")"));
    for (const std::string& line : SplitLines(GbkToUtf8(text))) box.push_back(U8(u8" │ ") + line);
    box.push_back(U8(u8" └─ ") + Prompt(buttons));
  } else {
    Line("== " + head + (icon == Icon::None ? "" : " (" + std::string(IconName(icon)) + ")") + " ==");
    for (const std::string& line : SplitLines(GbkToUtf8(text))) Line(line);
  }
  for (;;) {
    if (on_screen) {
      screen_.Observe(*owner, platform::clock::SteadyMs());
      Draw(*owner, box);
      std::fputs("    > ", out_);
    } else {
      std::fprintf(out_, "%s? ", Prompt(buttons).c_str());
    }
    std::fflush(out_);
    std::optional<std::string> line = NextLine();
    // Typed on a keyboard the answer is on the screen already; read from a
    // file it is not, and the line would run on into the next one.
    if (line && !on_screen && !platform::terminal::IsTerminal(in_)) Line(*line);
    if (!line) {
      std::fprintf(out_, "\n");
      std::fflush(out_);
      dirty_ = true;
      return DefaultAnswer(buttons);
    }
    char key = line->empty() ? '\n' : (*line)[0];
    if (key >= 'A' && key <= 'Z') key = static_cast<char>(key - 'A' + 'a');
    dirty_ = true;
    if (key == '\n' && buttons == Buttons::OK) return Answer::OK;
    for (const auto& c : kChoices) {
      if (c.key == key && HasButton(buttons, c.answer)) return c.answer;
    }
  }
}

void TtyFrontend::StartReader() {
  State& st = *state_;
  if (st.reader_started) return;
  st.reader_started = true;
  if (in_ == nullptr) {
    st.input_ended = true;
    return;
  }
  std::thread([state = state_, in = in_] {
    for (;;) {
      std::optional<std::string> got = platform::terminal::ReadLine(in, kMaxInputLine);
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!got) {
        state->input_ended = true;
        state->cv.notify_all();
        return;
      }
      std::string line = std::move(*got);
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
  if (mode_ == Mode::Screen && shown_ == &dialog) {
    const std::uint64_t now = platform::clock::SteadyMs();
    screen_.Observe(dialog, now);
    const std::uint64_t since = now - last_draw_ms_;
    if ((dirty_ && since >= kTtyRedrawIntervalMs) || since >= kRateRedrawMs) {
      Draw(dialog, {});
    } else if (dirty_ && timeout_ms > 0) {
      // Come back when the change may be drawn.
      timeout_ms = std::min<int>(timeout_ms, static_cast<int>(kTtyRedrawIntervalMs - since));
    }
  }
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
    // A line that names a control presses it; other lines are dropped so
    // that they cannot answer a later box by surprise.
    if (!st.lines.empty()) {
      std::string line = std::move(st.lines.front());
      st.lines.pop_front();
      press = ControlForKey(dialog, line);
      dirty_ = true;  // the typed line has to be drawn over
    }
  }
  if (press >= 0) dialog.Click(press);
}

void TtyFrontend::Wake() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->woken = true;
  state_->cv.notify_all();
}

void TtyFrontend::DialogShown(Dialog& dialog) {
  if (mode_ == Mode::Screen) {
    shown_ = &dialog;
    dirty_ = true;
    return;
  }
  if (dialog.dialog_template().id == 102) Line(U8(u8"（输入 c 并回车可取消更新）"));
}

void TtyFrontend::TitleChanged(Dialog&, std::string_view title) {
  dirty_ = true;
  if (mode_ == Mode::Lines) Line("=== " + GbkToUtf8(title) + " ===");
}

void TtyFrontend::TextChanged(Dialog& dialog, int control, std::string_view text) {
  dirty_ = true;
  if (mode_ != Mode::Lines || text.empty() || QuietInLines(dialog, control)) return;
  const ControlState* state = dialog.Control(control);
  // A control set to the text its template gave it says nothing new.
  if (last_text_.count(control) == 0 && state != nullptr && state->spec.text == text) return;
  std::string utf8 = GbkToUtf8(text);
  std::string& last = last_text_[control];
  if (last == utf8) return;
  last = utf8;
  if (state != nullptr && state->spec.kind == ControlKind::NoticeEdit) {
    Line(NameOf(dialog, control) + ":");
    for (const std::string& line : gui::NoticeDisplayLines(text)) Line("  " + line);
    return;
  }
  Line(NameOf(dialog, control) + ": " + utf8);
}

void TtyFrontend::ProgressChanged(Dialog& dialog, int control, int value) {
  dirty_ = true;
  if (mode_ != Mode::Lines) return;
  // One line per tenth reached, so a log shows the run without every step;
  // a bar that starts at 0 says nothing yet.
  const int shown = std::clamp(value, 0, 100);
  const int decile = shown / 10;
  auto it = last_decile_.find(control);
  if (it == last_decile_.end()) {
    last_decile_[control] = decile;
    if (shown == 0) return;
  } else if (it->second == decile) {
    return;
  } else {
    it->second = decile;
  }
  Line(NameOf(dialog, control) + " " + std::to_string(shown) + "%");
}

void TtyFrontend::UrlOpened(std::string_view url) {
  if (mode_ == Mode::Lines) Line(U8(u8"打开 ") + GbkToUtf8(url));
}

void TtyFrontend::DialogEnded(Dialog& dialog, int) {
  if (mode_ == Mode::Screen && shown_ == &dialog) {
    screen_.Observe(dialog, platform::clock::SteadyMs());
    Draw(dialog, {});
    shown_ = nullptr;
  }
}

std::unique_ptr<Frontend> MakeTtyFrontend() {
  const bool terminal = platform::terminal::IsTerminal(stdout);
  return std::make_unique<TtyFrontend>(stdin, stdout,
                                       terminal ? TtyFrontend::Mode::Screen : TtyFrontend::Mode::Lines);
}

}  // namespace kestra::ui
