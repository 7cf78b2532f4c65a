#include "updater/ui/gui/display_probe.h"

#include <X11/Xlib.h>

namespace kestra::ui::gui {

bool CanOpenDisplay() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace kestra::ui::gui
