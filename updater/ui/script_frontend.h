// The test harness frontend: plays answers and clicks from files and records
// every event in a transcript.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "updater/ui/frontend.h"
#include "updater/ui/transcript.h"

namespace kestra::ui {

struct ScriptConfig {
  std::string answers_file;     // KESTRA_UI_ANSWERS
  std::string transcript_file;  // KESTRA_UI_TRANSCRIPT
  std::string clicks_file;      // KESTRA_UI_CLICKS
  static ScriptConfig FromEnvironment();
};

class ScriptFrontend : public Frontend {
 public:
  explicit ScriptFrontend(const ScriptConfig& config);

  Answer ShowMessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                        Buttons buttons, Icon icon) override;
  void WaitForEvents(Dialog& dialog, int timeout_ms) override;
  void Wake() override;

  void DialogShown(Dialog& dialog) override;
  void DialogEnded(Dialog& dialog, int result) override;
  void TitleChanged(Dialog& dialog, std::string_view title) override;
  void TextChanged(Dialog& dialog, int control, std::string_view text) override;
  void VisibleChanged(Dialog& dialog, int control, bool visible) override;
  void ProgressChanged(Dialog& dialog, int control, int value) override;
  void TimerSet(Dialog& dialog, int id, int period_ms) override;
  void TimerKilled(Dialog& dialog, int id) override;
  void UrlOpened(std::string_view url) override;
  void ClickRecorded(Dialog& dialog, int control, bool ignored) override;

  // The answer a box with these buttons takes from the remaining lines.
  Answer TakeAnswer(Buttons buttons);

 private:
  struct Click {
    std::uint64_t at_ms = 0;
    int control = 0;
  };

  Transcript transcript_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
  std::deque<std::string> answers_;
  std::deque<Click> clicks_;
};

std::unique_ptr<Frontend> MakeScriptFrontend(const ScriptConfig& config);

}  // namespace kestra::ui
