// The window frontend: an FLTK window under X11 that draws a dialog of the
// window-message model. Dialogs that implement DialogView get their pictures,
// colours, tool tips and mouse feedback; all others are drawn as plain
// controls.
#pragma once

#include <memory>
#include <string>

#include "updater/ui/frontend.h"

namespace kestra::ui {

// The window frontend, or null when no X display can be opened.
std::unique_ptr<Frontend> MakeGuiFrontend();

namespace gui {

// Pixels per dialog unit, taken from the metrics of the dialog font the way
// the system does: horizontally the average width of the 52 Latin letters
// (rounded as the system rounds) divided by 4, vertically the font's cell
// height divided by 8.
struct UnitScale {
  int base_x = 6;   // average character width, pixels
  int base_y = 12;  // cell height, pixels
  int X(int units) const { return (units * base_x + 2) / 4; }
  int Y(int units) const { return (units * base_y + 4) / 8; }
};

// What the frontend picked on this machine (opens the display on first use).
struct FontChoice {
  std::string family;  // the CJK font family drawing every text
  int dialog_size = 12;  // pixels, for the dialog font (9 points at 96 dpi)
  int notice_size = 12;  // pixels, for the notice box (cell height 15)
  UnitScale scale;
};
FontChoice CurrentFontChoice();

}  // namespace gui
}  // namespace kestra::ui
