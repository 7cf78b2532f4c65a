// What a drawing frontend asks of a dialog beyond the control states of the
// window-message model: the pictures it owns, the text colour of a control,
// the tool tip and cursor of a link, and the mouse events its controls react
// to. A dialog that draws nothing special simply does not implement it.
//
// Header only, so a dialog can offer it without linking any frontend.
#pragma once

#include <cstdint>
#include <string>

namespace kestra::ui::gui {

// A picture owned by the dialog: top-down rows of RGB bytes, width * 3 bytes
// per row. Valid until the dialog changes that picture or ends.
struct PixelView {
  int width = 0;
  int height = 0;
  const std::uint8_t* rgb = nullptr;
  bool empty() const { return rgb == nullptr || width <= 0 || height <= 0; }
};

struct Colour {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Colour&) const = default;
};

// Mouse input on the notice box that moves its content or selection.
enum class NoticeInput { VerticalScroll, MouseWheel, LeftButtonDown, MouseMove };

class DialogView {
 public:
  virtual ~DialogView() = default;

  // The background is being erased: the picture to stretch over the whole
  // client area, or an empty view when there is none (asked again on the next
  // erase).
  virtual PixelView EraseBackground() = 0;
  // The picture of a bitmap button; empty when it has none.
  virtual PixelView ControlPicture(int control) = 0;
  // The colour the text of a control is drawn in.
  virtual Colour TextColour(int control) = 0;
  // The tool tip of a control (GBK); empty for none.
  virtual std::string ToolTip(int control) = 0;
  // True when the control shows the link (hand) cursor.
  virtual bool HasLinkCursor(int control) = 0;
  // The mouse moved onto (true) or off (false) a control.
  virtual void MouseOver(int control, bool over) = 0;
  // Mouse input on a notice box; left_only is true when the left button is the
  // only key or button held (for MouseMove).
  virtual void NoticeMouse(int control, NoticeInput input, bool left_only) = 0;
};

}  // namespace kestra::ui::gui
