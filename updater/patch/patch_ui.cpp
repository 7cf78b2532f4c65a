#include "updater/patch/patch_ui.h"

#include <cstdio>

#include "platform/clock.h"
#include "updater/ui/dialog.h"

namespace kestra::patch {

namespace {

std::string_view CaptionOrDefault(std::string_view caption) {
  return caption.empty() ? kDefaultCaption : caption;
}

}  // namespace

std::string PlainUpdateErrorText(int number, std::string_view text) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%d", number);
  return std::string(text) + "\n\n编号：" + digits;
}

DialogPatchUi::DialogPatchUi(ui::Dialog& dialog, UpdateErrorFn show_update_error)
    : dialog_(dialog), show_update_error_(std::move(show_update_error)) {}

void DialogPatchUi::PumpMessages() { dialog_.PumpMessages(); }

void DialogPatchUi::SetStatusText(std::string_view text) {
  dialog_.SetText(kStatusLineControl, text);
}

ui::Answer DialogPatchUi::Ask(std::string_view text, std::string_view caption,
                              ui::Buttons buttons, ui::Icon icon) {
  return dialog_.MessageBox(text, CaptionOrDefault(caption), buttons, icon);
}

void DialogPatchUi::ShowUpdateError(int number, std::string_view text) {
  if (show_update_error_) {
    show_update_error_(number, text);
    return;
  }
  ui::MessageBox(nullptr, PlainUpdateErrorText(number, text), "Vandor更新失败",
                 ui::Buttons::OK, ui::Icon::Error);
}

void DialogPatchUi::Wait(std::uint32_t ms) { platform::clock::SleepMs(ms); }

PlainPatchUi::PlainPatchUi(UpdateErrorFn show_update_error)
    : show_update_error_(std::move(show_update_error)) {}

void PlainPatchUi::SetStatusText(std::string_view text) { status_text_ = std::string(text); }

ui::Answer PlainPatchUi::Ask(std::string_view text, std::string_view caption,
                             ui::Buttons buttons, ui::Icon icon) {
  return ui::MessageBox(nullptr, text, CaptionOrDefault(caption), buttons, icon);
}

void PlainPatchUi::ShowUpdateError(int number, std::string_view text) {
  if (show_update_error_) {
    show_update_error_(number, text);
    return;
  }
  ui::MessageBox(nullptr, PlainUpdateErrorText(number, text), "Vandor更新失败",
                 ui::Buttons::OK, ui::Icon::Error);
}

void PlainPatchUi::Wait(std::uint32_t ms) { platform::clock::SleepMs(ms); }

}  // namespace kestra::patch
