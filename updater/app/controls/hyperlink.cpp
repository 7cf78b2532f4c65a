#include "updater/app/controls/hyperlink.h"

#include <cstdio>

namespace kestra::app::controls {

void CHyperLink::Attach(ui::Dialog& dialog, int control) {
  dialog_ = &dialog;
  control_ = control;
  std::string text = dialog.Text(control);
  if (url_.empty()) url_ = text;
  if (text.empty() && !url_.empty()) dialog.SetText(control, url_);
}

void CHyperLink::SetLinkTarget(std::string_view url) {
  url_ = std::string(url);
  if (dialog_ == nullptr) return;
  if (dialog_->Text(control_).empty()) dialog_->SetText(control_, url_);
  // The tool tip and the fitted size follow the url and text on the next draw.
  dialog_->Invalidate(control_);
}

ui::gui::Colour CHyperLink::TextColour() const {
  if (over_) return kHoverColour;
  if (visited_) return kVisitedColour;
  return kLinkColour;
}

void CHyperLink::MouseOver(bool over) {
  if (over_ == over) return;
  over_ = over;
  if (dialog_ != nullptr) dialog_->Invalidate(control_);
}

int CHyperLink::Click(const UrlOpener& open) {
  if (dialog_ != nullptr) dialog_->RecordOpenUrl(url_);
  int result = open ? open(url_) : 0;
  if (result > 32) {
    visited_ = true;
    if (dialog_ != nullptr) dialog_->Invalidate(control_);
    return result;
  }
  std::string message = "Unable to open hyperlink:\n\n" + ErrorText(result);
  if (dialog_ != nullptr) {
    dialog_->MessageBox(message, dialog_->title(), ui::Buttons::OK, ui::Icon::Warning);
  } else {
    ui::MessageBox(nullptr, message, "", ui::Buttons::OK, ui::Icon::Warning);
  }
  return result;
}

std::string CHyperLink::ErrorText(int code) {
  switch (code) {
    case 0: return "The operating system is out\nof memory or resources.";
    case 2: return "The specified file was not found.";
    case 3: return "The specified path was not found.";
    case 5: return "The operating system denied\naccess to the specified file.";
    case 8: return "There was not enough memory to complete the operation.";
    case 11: return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    case 26: return "A sharing violation occurred. ";
    case 27: return "The filename association is\nincomplete or invalid.";
    case 28: return "The DDE transaction could not\nbe completed because the request timed out.";
    case 29: return "The DDE transaction failed.";
    case 30:
      return "The DDE transaction could not\nbe completed because other DDE transactions\nwere "
             "being processed.";
    case 31: return "There is no application associated\nwith the given filename extension.";
    case 32: return "The specified dynamic-link library was not found.";
    default: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "Unknown Error (%d) occurred.", code);
      return buffer;
    }
  }
}

}  // namespace kestra::app::controls
