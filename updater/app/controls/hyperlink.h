// CHyperLink: a static text that opens its url when clicked, underlined, in
// the link, visited or hover colour, with the url as tool tip and the hand
// cursor. The dialog owns one per link control; the frontend draws it from
// the state kept here.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "updater/ui/dialog.h"
#include "updater/ui/gui/dialog_view.h"

namespace kestra::app::controls {

// Opens a url; a result greater than 32 means it was opened (platform/shell).
using UrlOpener = std::function<int(std::string_view url)>;

class CHyperLink {
 public:
  static constexpr ui::gui::Colour kLinkColour{0, 0, 238};
  static constexpr ui::gui::Colour kVisitedColour{85, 26, 139};
  // The highlight colour of the desktop's default scheme.
  static constexpr ui::gui::Colour kHoverColour{0, 120, 215};

  // Subclassing set-up on the template's control: an empty url becomes the
  // control's text, an empty text becomes the url.
  void Attach(ui::Dialog& dialog, int control);
  // Stores the url; an attached control with an empty text shows it.
  void SetLinkTarget(std::string_view url);

  const std::string& url() const { return url_; }
  int control() const { return control_; }
  bool visited() const { return visited_; }
  bool over() const { return over_; }
  bool underline() const { return underline_; }
  bool adjust_to_fit() const { return adjust_to_fit_; }
  bool has_link_cursor() const { return true; }

  // The colour the link chooses for itself: hover, else visited, else link.
  ui::gui::Colour TextColour() const;

  // The mouse entered or left the control; redraws when that changes.
  void MouseOver(bool over);

  // The player clicked: records the link with the dialog, opens it and marks
  // it visited on success; on failure shows "Unable to open hyperlink:" with
  // the reason (warning icon). Returns the opener's result.
  int Click(const UrlOpener& open);

  // The reason text for an opener result, line breaks included.
  static std::string ErrorText(int code);

 private:
  ui::Dialog* dialog_ = nullptr;
  int control_ = -1;
  std::string url_;
  bool visited_ = false;
  bool over_ = false;
  bool underline_ = true;
  bool adjust_to_fit_ = true;
};

}  // namespace kestra::app::controls
