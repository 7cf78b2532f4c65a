// A text rendering of the dialog for a terminal; message boxes become prompts.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "updater/ui/frontend.h"

namespace kestra::ui {

class TtyFrontend : public Frontend {
 public:
  // Output goes to out (UTF-8); prompts read lines from in.
  TtyFrontend(std::FILE* in, std::FILE* out);

  Answer ShowMessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                        Buttons buttons, Icon icon) override;
  void WaitForEvents(Dialog& dialog, int timeout_ms) override;
  void Wake() override;

  void TitleChanged(Dialog& dialog, std::string_view title) override;
  void TextChanged(Dialog& dialog, int control, std::string_view text) override;
  void VisibleChanged(Dialog& dialog, int control, bool visible) override;
  void ProgressChanged(Dialog& dialog, int control, int value) override;
  void UrlOpened(std::string_view url) override;
  void DialogEnded(Dialog& dialog, int result) override;

 private:
  void Line(const std::string& utf8);

  std::FILE* in_;
  std::FILE* out_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
};

std::unique_ptr<Frontend> MakeTtyFrontend();

}  // namespace kestra::ui
