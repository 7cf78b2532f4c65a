// Whether the X display named by DISPLAY can be opened (FLTK itself ends the
// process when it cannot, so the frontend asks first).
#pragma once

namespace kestra::ui::gui {

bool CanOpenDisplay();

}  // namespace kestra::ui::gui
