// CMyEdit: the multi-line notice box. Whenever its content moves it asks the
// main window to draw the background behind it again: scrolling, the wheel
// and dragging a selection start timer 2 of the main window (1 ms); pressing
// the left button repaints at once.
#pragma once

#include "updater/ui/dialog.h"
#include "updater/ui/gui/dialog_view.h"

namespace kestra::app::controls {

inline constexpr int kNoticeRepaintTimer = 2;
inline constexpr int kNoticeRepaintPeriodMs = 1;

class CMyEdit {
 public:
  void Attach(ui::Dialog& main_window, int control) {
    main_window_ = &main_window;
    control_ = control;
  }
  // Mouse input on the box (before its own handling).
  void OnInput(ui::gui::NoticeInput input, bool left_only);

 private:
  ui::Dialog* main_window_ = nullptr;
  int control_ = -1;
};

}  // namespace kestra::app::controls
