#include "updater/ui/script_frontend.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "updater/ui/dialog.h"

namespace kestra::ui {
namespace {

constexpr std::size_t kMaxScriptLines = 100000;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  std::size_t start = s.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : s.substr(start);
}

bool ParseAnswer(const std::string& line, Answer& answer) {
  static const std::pair<const char*, Answer> kNames[] = {
      {"OK", Answer::OK}, {"Cancel", Answer::Cancel}, {"Yes", Answer::Yes},
      {"No", Answer::No}, {"Retry", Answer::Retry}};
  for (const auto& [name, value] : kNames) {
    if (line == name) {
      answer = value;
      return true;
    }
  }
  return false;
}

}  // namespace

ScriptConfig ScriptConfig::FromEnvironment() {
  ScriptConfig c;
  c.answers_file = Env("KESTRA_UI_ANSWERS");
  c.transcript_file = Env("KESTRA_UI_TRANSCRIPT");
  c.clicks_file = Env("KESTRA_UI_CLICKS");
  return c;
}

ScriptFrontend::ScriptFrontend(const ScriptConfig& config) : transcript_(config.transcript_file) {
  if (!config.answers_file.empty()) {
    std::ifstream in(config.answers_file);
    std::string line;
    while (answers_.size() < kMaxScriptLines && std::getline(in, line)) {
      answers_.push_back(Trimmed(line));
    }
  }
  if (!config.clicks_file.empty()) {
    std::ifstream in(config.clicks_file);
    std::string line;
    while (clicks_.size() < kMaxScriptLines && std::getline(in, line)) {
      std::istringstream words(line);
      long long ms = -1;
      int control = 0;
      if (words >> ms >> control && ms >= 0) {
        clicks_.push_back({static_cast<std::uint64_t>(ms), control});
      }
    }
  }
}

Answer ScriptFrontend::TakeAnswer(Buttons buttons) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < answers_.size(); ++i) {
    Answer a;
    if (ParseAnswer(answers_[i], a) && HasButton(buttons, a)) {
      answers_.erase(answers_.begin(), answers_.begin() + static_cast<long>(i) + 1);
      return a;
    }
  }
  return DefaultAnswer(buttons);
}

Answer ScriptFrontend::ShowMessageBox(Dialog*, std::string_view text, std::string_view caption,
                                      Buttons buttons, Icon icon) {
  Answer answer = TakeAnswer(buttons);
  transcript_.Record("messagebox", {{"caption", caption},
                                    {"text", text},
                                    {"buttons", ButtonsName(buttons)},
                                    {"icon", IconName(icon)},
                                    {"answer", AnswerName(answer)}});
  return answer;
}

void ScriptFrontend::WaitForEvents(Dialog& dialog, int timeout_ms) {
  std::uint64_t now = dialog.MsSinceShown();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!clicks_.empty() && clicks_.front().at_ms <= now) {
    Click click = clicks_.front();
    clicks_.pop_front();
    lock.unlock();
    dialog.Click(click.control);
    return;
  }
  long long wait = timeout_ms;
  if (!clicks_.empty()) wait = std::min<long long>(wait, static_cast<long long>(clicks_.front().at_ms - now));
  if (wait > 0 && !woken_) {
    cv_.wait_for(lock, std::chrono::milliseconds(wait), [&] { return woken_; });
  }
  woken_ = false;
}

void ScriptFrontend::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  cv_.notify_all();
}

void ScriptFrontend::DialogShown(Dialog&) {}

void ScriptFrontend::DialogEnded(Dialog&, int result) {
  transcript_.Record("end", {{"result", result}});
}

void ScriptFrontend::TitleChanged(Dialog&, std::string_view title) {
  transcript_.Record("title", {{"text", title}});
}

void ScriptFrontend::TextChanged(Dialog&, int control, std::string_view text) {
  transcript_.Record("text", {{"control", control}, {"text", text}});
}

void ScriptFrontend::VisibleChanged(Dialog&, int control, bool visible) {
  transcript_.Record("visible", {{"control", control}, {"visible", visible}});
}

void ScriptFrontend::ProgressChanged(Dialog&, int control, int value) {
  transcript_.Record("progress", {{"control", control}, {"value", value}});
}

void ScriptFrontend::TimerSet(Dialog&, int id, int period_ms) {
  transcript_.Record("timer", {{"id", id}, {"period_ms", period_ms}});
}

void ScriptFrontend::TimerKilled(Dialog&, int id) {
  transcript_.Record("timer", {{"id", id}, {"killed", true}});
}

void ScriptFrontend::UrlOpened(std::string_view url) { transcript_.Record("open_url", {{"url", url}}); }

void ScriptFrontend::ClickRecorded(Dialog&, int control, bool ignored) {
  transcript_.Record("click", {{"control", control}, {"ignored", ignored}});
}

std::unique_ptr<Frontend> MakeScriptFrontend(const ScriptConfig& config) {
  return std::make_unique<ScriptFrontend>(config);
}

}  // namespace kestra::ui
