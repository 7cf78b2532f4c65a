#include "updater/app/controls/notice_edit.h"

namespace kestra::app::controls {

void CMyEdit::OnInput(ui::gui::NoticeInput input, bool left_only) {
  if (main_window_ == nullptr) return;
  switch (input) {
    case ui::gui::NoticeInput::VerticalScroll:
    case ui::gui::NoticeInput::MouseWheel:
      main_window_->SetTimer(kNoticeRepaintTimer, kNoticeRepaintPeriodMs);
      break;
    case ui::gui::NoticeInput::MouseMove:
      if (left_only) main_window_->SetTimer(kNoticeRepaintTimer, kNoticeRepaintPeriodMs);
      break;
    case ui::gui::NoticeInput::LeftButtonDown:
      main_window_->Invalidate(control_);
      break;
  }
}

}  // namespace kestra::app::controls
