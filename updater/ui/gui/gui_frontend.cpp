#include "updater/ui/gui/gui_frontend.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/Fl_Tooltip.H>
#include <FL/Fl_Widget.H>
#include <FL/fl_ask.H>  // the button words
#include <FL/fl_draw.H>
#include <fontconfig/fontconfig.h>
// FLTK brings in Xlib, whose None macro would hide Icon::None.
#ifdef None
#undef None
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/charset.h"
#include "updater/ui/dialog.h"
#include "updater/ui/gui/dialog_view.h"
#include "updater/ui/gui/display_probe.h"
#include "updater/ui/gui/notice_lines.h"

namespace kestra::ui {
namespace gui {
namespace {

constexpr int kDialogFontPixels = 12;  // 9 points at 96 dots per inch
constexpr int kNoticeFontPixels = 12;  // a cell height of about 15 pixels
constexpr int kScrollBarWidth = 17;
constexpr int kWheelLines = 3;
constexpr Fl_Font kTextFont = FL_FREE_FONT;
// Most wrapped lines the notice box lays out; the rest of a longer text is
// not shown.
constexpr std::size_t kMaxNoticeLines = 200000;

std::mutex g_font_mutex;
FontChoice g_fonts;
bool g_fonts_ready = false;

std::string Utf8(std::string_view gbk) { return platform::charset::GbkToUtf8(gbk); }
const char* U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// The family fontconfig offers for Chinese text.
std::string FindCjkFamily() {
  std::string family = "WenQuanYi Micro Hei";
  if (!FcInit()) return family;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:lang=zh-cn"));
  if (pattern == nullptr) return family;
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  if (match != nullptr) {
    FcChar8* name = nullptr;
    if (FcPatternGetString(match, FC_FAMILY, 0, &name) == FcResultMatch && name != nullptr)
      family = reinterpret_cast<const char*>(name);
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  return family;
}

// Fonts and scale, once, on the thread that draws.
const FontChoice& Fonts() {
  std::lock_guard<std::mutex> lock(g_font_mutex);
  if (g_fonts_ready) return g_fonts;
  fl_open_display();
  static std::string fltk_name;  // FLTK keeps the pointer
  g_fonts.family = FindCjkFamily();
  fltk_name = " " + g_fonts.family;
  Fl::set_font(kTextFont, fltk_name.c_str());
  // Default labels, tool tips and message boxes draw Chinese too.
  Fl::set_font(FL_HELVETICA, fltk_name.c_str());
  g_fonts.dialog_size = kDialogFontPixels;
  g_fonts.notice_size = kNoticeFontPixels;
  fl_font(kTextFont, kDialogFontPixels);
  int letters = static_cast<int>(fl_width("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") + 0.5);
  g_fonts.scale.base_x = std::max(1, (letters / 26 + 1) / 2);
  g_fonts.scale.base_y = std::max(1, fl_height());
  Fl_Tooltip::font(kTextFont);
  Fl_Tooltip::size(kDialogFontPixels);
  // FLTK draws UTF-8; the literals of this program are GBK.
  fl_yes = U8(u8"是");
  fl_no = U8(u8"否");
  fl_ok = U8(u8"确定");
  fl_cancel = U8(u8"取消");
  fl_close = U8(u8"确定");
  g_fonts_ready = true;
  return g_fonts;
}

Fl_Color ToFl(Colour c) { return fl_rgb_color(c.r, c.g, c.b); }

class GuiFrontend;

// Every control widget knows its id and the frontend that made it.
struct ControlInfo {
  GuiFrontend* frontend = nullptr;
  int id = -1;
  ControlKind kind = ControlKind::Static;
  std::string text;  // UTF-8
};

DialogView* ViewOf(Dialog* dialog) { return dynamic_cast<DialogView*>(dialog); }

// The main window: the background picture stretched over the client area,
// no border, dragged by any point that no control takes.
class MainWindow : public Fl_Double_Window {
 public:
  MainWindow(int w, int h, Dialog* dialog) : Fl_Double_Window(w, h), dialog_(dialog) {}
  void draw() override;
  int handle(int event) override;
  void Forget() { dialog_ = nullptr; }

 private:
  Dialog* dialog_;
  int drag_dx_ = 0, drag_dy_ = 0;
  bool dragging_ = false;
  // The stretched copy of the background, rebuilt when picture or size change.
  const std::uint8_t* scaled_from_ = nullptr;
  int scaled_src_w_ = 0, scaled_src_h_ = 0, scaled_w_ = 0, scaled_h_ = 0;
  std::vector<std::uint8_t> scaled_;
};

void MainWindow::draw() {
  PixelView picture;
  if (DialogView* view = ViewOf(dialog_)) picture = view->EraseBackground();
  if (!picture.empty()) {
    if (picture.rgb != scaled_from_ || picture.width != scaled_src_w_ ||
        picture.height != scaled_src_h_ || w() != scaled_w_ || h() != scaled_h_) {
      scaled_.assign(static_cast<std::size_t>(w()) * h() * 3, 0);
      for (int y = 0; y < h(); ++y) {
        int sy = static_cast<int>(static_cast<long long>(y) * picture.height / h());
        for (int x = 0; x < w(); ++x) {
          int sx = static_cast<int>(static_cast<long long>(x) * picture.width / w());
          const std::uint8_t* src = picture.rgb + (static_cast<std::size_t>(sy) * picture.width + sx) * 3;
          std::uint8_t* dst = scaled_.data() + (static_cast<std::size_t>(y) * w() + x) * 3;
          dst[0] = src[0];
          dst[1] = src[1];
          dst[2] = src[2];
        }
      }
      scaled_from_ = picture.rgb;
      scaled_src_w_ = picture.width;
      scaled_src_h_ = picture.height;
      scaled_w_ = w();
      scaled_h_ = h();
    }
    fl_draw_image(scaled_.data(), 0, 0, w(), h(), 3);
  } else {
    fl_color(FL_BACKGROUND_COLOR);
    fl_rectf(0, 0, w(), h());
  }
  draw_children();
}

int MainWindow::handle(int event) {
  int used = Fl_Double_Window::handle(event);
  switch (event) {
    case FL_PUSH:
      if (used || Fl::event_button() != FL_LEFT_MOUSE) return used;
      dragging_ = true;
      drag_dx_ = Fl::event_x_root() - x();
      drag_dy_ = Fl::event_y_root() - y();
      return 1;
    case FL_DRAG:
      if (!dragging_) return used;
      position(Fl::event_x_root() - drag_dx_, Fl::event_y_root() - drag_dy_);
      return 1;
    case FL_RELEASE:
      if (!dragging_) return used;
      dragging_ = false;
      return 1;
    default:
      return used;
  }
}

// Plain and transparent statics: left-aligned text over the background.
class TextWidget : public Fl_Widget {
 public:
  TextWidget(int x, int y, int w, int h, ControlInfo info)
      : Fl_Widget(x, y, w, h), info_(std::move(info)) {
    box(FL_NO_BOX);
  }
  ControlInfo& info() { return info_; }
  void draw() override;

 protected:
  ControlInfo info_;
};

// A link: underlined text sized to fit, hand cursor, url as tool tip.
class LinkWidget : public TextWidget {
 public:
  using TextWidget::TextWidget;
  void draw() override;
  int handle(int event) override;
  void Fit();
};

// A bitmap button: the picture centred on a flat face (or, for a button
// sized to its picture, the picture alone).
class PictureButton : public Fl_Widget {
 public:
  PictureButton(int x, int y, int w, int h, ControlInfo info)
      : Fl_Widget(x, y, w, h), info_(std::move(info)) {
    box(FL_NO_BOX);
  }
  ControlInfo& info() { return info_; }
  void SetPicture(PixelView picture, bool size_to_picture);
  void draw() override;
  int handle(int event) override;

 private:
  ControlInfo info_;
  int pic_w_ = 0, pic_h_ = 0;
  std::vector<std::uint8_t> pic_;
  bool sized_ = false;
  bool pressed_ = false;
};

// The notice box: wrapped lines over the background and a scroll bar.
class NoticeText;
class NoticeBox : public Fl_Group {
 public:
  NoticeBox(int x, int y, int w, int h, ControlInfo info);
  ControlInfo& info() { return info_; }
  void SetText(const std::string& gbk);
  void Layout();
  void ScrollTo(int top_line);
  void Scrolled();  // the scroll bar moved
  int top_line() const { return top_; }
  int line_count() const { return static_cast<int>(wrapped_.size()); }
  int visible_lines() const;
  const std::vector<std::string>& wrapped() const { return wrapped_; }
  NoticeText* text_area() { return text_; }
  Fl_Scrollbar* scroll_bar() { return bar_; }

 private:
  ControlInfo info_;
  std::string gbk_;
  // Width of one character (its UTF-8 bytes) in the notice font; measuring
  // each character of a long notice through the font would take seconds.
  double CharWidth(const char* utf8, int len) {
    std::uint32_t key = 0;
    for (int i = 0; i < len; ++i) key = key << 8 | static_cast<unsigned char>(utf8[i]);
    auto it = widths_.find(key);
    if (it != widths_.end()) return it->second;
    double w = fl_width(utf8, len);
    widths_.emplace(key, w);
    return w;
  }

  std::vector<std::string> wrapped_;
  std::unordered_map<std::uint32_t, double> widths_;
  int top_ = 0;
  NoticeText* text_ = nullptr;
  Fl_Scrollbar* bar_ = nullptr;
};

class NoticeText : public Fl_Widget {
 public:
  NoticeText(int x, int y, int w, int h, NoticeBox* owner) : Fl_Widget(x, y, w, h), owner_(owner) {
    box(FL_NO_BOX);
  }
  void draw() override;
  int handle(int event) override;

 private:
  NoticeBox* owner_;
};

class GuiFrontend : public Frontend {
 public:
  GuiFrontend() = default;
  ~GuiFrontend() override { DestroyWindow(); }

  Answer ShowMessageBox(Dialog* owner, std::string_view text, std::string_view caption,
                        Buttons buttons, Icon icon) override;
  void WaitForEvents(Dialog& dialog, int timeout_ms) override;
  void Wake() override;

  void DialogShown(Dialog& dialog) override;
  void DialogEnded(Dialog& dialog, int result) override;
  void TitleChanged(Dialog& dialog, std::string_view title) override;
  void TextChanged(Dialog& dialog, int control, std::string_view text) override;
  void VisibleChanged(Dialog& dialog, int control, bool visible) override;
  void EnabledChanged(Dialog& dialog, int control, bool enabled) override;
  void ProgressChanged(Dialog& dialog, int control, int value) override;
  void ImageChanged(Dialog& dialog, int control) override;
  void Invalidate(Dialog& dialog, int control) override;

  // For the widgets.
  Dialog* dialog() { return dialog_; }
  DialogView* view() { return ViewOf(dialog_); }
  void Click(int control) {
    if (dialog_ != nullptr) dialog_->Click(control);
  }
  void SetCursor(Fl_Cursor cursor) {
    if (window_ != nullptr) window_->cursor(cursor);
  }
  void DamageRect(int x, int y, int w, int h) {
    if (window_ != nullptr) window_->damage(FL_DAMAGE_ALL, x, y, w, h);
  }

 private:
  struct BoxCall {
    GuiFrontend* self = nullptr;
    std::string text, caption;
    Buttons buttons;
    Icon icon;
    Answer answer = Answer::OK;
    bool done = false;
    std::mutex mutex;
    std::condition_variable cv;
  };
  static void RunBoxCall(void* data);
  Answer AskHere(std::string_view text, std::string_view caption, Buttons buttons, Icon icon);
  void EnsureUiThread();
  Fl_Widget* Widget(int control);
  void DestroyWindow();

  Dialog* dialog_ = nullptr;
  MainWindow* window_ = nullptr;
  std::map<int, Fl_Widget*> widgets_;
  std::atomic<bool> woken_{false};
  std::atomic<bool> locked_{false};
  std::thread::id ui_thread_;
  std::atomic<bool> window_up_{false};
};

// ---- widgets ----

void TextWidget::draw() {
  const FontChoice& fonts = Fonts();
  Colour colour;
  if (DialogView* view = info_.frontend->view()) colour = view->TextColour(info_.id);
  fl_font(kTextFont, fonts.dialog_size);
  fl_color(ToFl(colour));
  fl_push_clip(x(), y(), w(), h());
  fl_draw(info_.text.c_str(), x(), y(), w(), h(),
          FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP, nullptr, 0);
  fl_pop_clip();
}

void LinkWidget::Fit() {
  const FontChoice& fonts = Fonts();
  fl_font(kTextFont, fonts.dialog_size);
  int tw = std::max(1, static_cast<int>(fl_width(info_.text.c_str()) + 0.5));
  int th = fl_height();
  if (tw != w() || th != h()) {
    resize(x(), y(), tw, th);
    if (window() != nullptr) window()->redraw();
  }
  if (DialogView* view = info_.frontend->view()) copy_tooltip(Utf8(view->ToolTip(info_.id)).c_str());
}

void LinkWidget::draw() {
  const FontChoice& fonts = Fonts();
  Colour colour{0, 0, 238};
  if (DialogView* view = info_.frontend->view()) colour = view->TextColour(info_.id);
  fl_font(kTextFont, fonts.dialog_size);
  fl_color(ToFl(colour));
  fl_push_clip(x(), y(), w(), h());
  int baseline = y() + fl_height() - fl_descent();
  fl_draw(info_.text.c_str(), x(), baseline);
  int tw = static_cast<int>(fl_width(info_.text.c_str()) + 0.5);
  fl_line(x(), baseline + 1, x() + tw - 1, baseline + 1);
  fl_pop_clip();
}

int LinkWidget::handle(int event) {
  DialogView* view = info_.frontend->view();
  switch (event) {
    case FL_ENTER:
      if (view != nullptr) {
        view->MouseOver(info_.id, true);
        if (view->HasLinkCursor(info_.id)) info_.frontend->SetCursor(FL_CURSOR_HAND);
      }
      Fl_Widget::handle(event);  // lets the tool tip appear
      return 1;
    case FL_LEAVE:
      if (view != nullptr) view->MouseOver(info_.id, false);
      info_.frontend->SetCursor(FL_CURSOR_DEFAULT);
      Fl_Widget::handle(event);
      return 1;
    case FL_MOVE:
      return 1;
    case FL_PUSH:
      return Fl::event_button() == FL_LEFT_MOUSE ? 1 : 0;
    case FL_RELEASE:
      if (Fl::event_button() == FL_LEFT_MOUSE && Fl::event_inside(this)) info_.frontend->Click(info_.id);
      return 1;
    default:
      return Fl_Widget::handle(event);
  }
}

void PictureButton::SetPicture(PixelView picture, bool size_to_picture) {
  if (picture.empty()) {
    pic_.clear();
    pic_w_ = pic_h_ = 0;
  } else {
    pic_.assign(picture.rgb, picture.rgb + static_cast<std::size_t>(picture.width) * picture.height * 3);
    pic_w_ = picture.width;
    pic_h_ = picture.height;
    if (size_to_picture) {
      resize(x(), y(), pic_w_, pic_h_);
      sized_ = true;
    }
  }
  if (window() != nullptr) window()->redraw();
}

void PictureButton::draw() {
  int offset = pressed_ ? 1 : 0;
  fl_push_clip(x(), y(), w(), h());
  if (!sized_) {
    fl_color(fl_rgb_color(236, 233, 216));
    fl_rectf(x(), y(), w(), h());
    fl_color(fl_rgb_color(128, 128, 128));
    fl_rect(x(), y(), w(), h());
  }
  if (!pic_.empty()) {
    int px = x() + (w() - pic_w_) / 2 + offset;
    int py = y() + (h() - pic_h_) / 2 + offset;
    fl_draw_image(pic_.data(), px, py, pic_w_, pic_h_, 3);
  }
  if (Fl::focus() == this && !sized_) {
    fl_color(FL_BLACK);
    fl_line_style(FL_DOT);
    fl_rect(x() + 2, y() + 2, w() - 4, h() - 4);
    fl_line_style(0);
  }
  fl_pop_clip();
}

int PictureButton::handle(int event) {
  switch (event) {
    case FL_PUSH:
      if (Fl::event_button() != FL_LEFT_MOUSE) return 0;
      pressed_ = true;
      redraw();
      return 1;
    case FL_DRAG: {
      bool inside = Fl::event_inside(this) != 0;
      if (inside != pressed_) {
        pressed_ = inside;
        redraw();
      }
      return 1;
    }
    case FL_RELEASE:
      if (pressed_) {
        pressed_ = false;
        redraw();
        if (Fl::event_inside(this)) info_.frontend->Click(info_.id);
      }
      return 1;
    case FL_KEYBOARD:
      if (Fl::event_key() == ' ' || Fl::event_key() == FL_Enter) {
        info_.frontend->Click(info_.id);
        return 1;
      }
      return 0;
    case FL_FOCUS:
    case FL_UNFOCUS:
      redraw();
      return 1;
    default:
      return Fl_Widget::handle(event);
  }
}

NoticeBox::NoticeBox(int x, int y, int w, int h, ControlInfo info)
    : Fl_Group(x, y, w, h), info_(std::move(info)) {
  box(FL_NO_BOX);
  int text_w = std::max(1, w - kScrollBarWidth);
  text_ = new NoticeText(x, y, text_w, h, this);
  bar_ = new Fl_Scrollbar(x + text_w, y, kScrollBarWidth, h);
  bar_->type(FL_VERTICAL);
  bar_->linesize(1);
  bar_->callback([](Fl_Widget*, void* self) { static_cast<NoticeBox*>(self)->Scrolled(); }, this);
  end();
  Layout();
}

int NoticeBox::visible_lines() const {
  fl_font(kTextFont, Fonts().notice_size);
  return std::max(1, text_->h() / std::max(1, fl_height()));
}

void NoticeBox::SetText(const std::string& gbk) {
  gbk_ = gbk;
  top_ = 0;
  Layout();
}

// Breaks each display line into pieces that fit the text width: after the
// last blank when there is one, else before the character that overflows.
void NoticeBox::Layout() {
  wrapped_.clear();
  widths_.clear();
  fl_font(kTextFont, Fonts().notice_size);
  const double width = std::max(8, text_->w() - 4);
  const std::vector<std::string> lines = NoticeDisplayLines(gbk_);
  for (const std::string& line : lines) {
    if (wrapped_.size() >= kMaxNoticeLines) break;
    std::size_t begin = 0;
    if (line.empty()) {
      wrapped_.emplace_back();
      continue;
    }
    while (begin < line.size() && wrapped_.size() < kMaxNoticeLines) {
      double used = 0;
      std::size_t at = begin, last_blank = std::string::npos;
      while (at < line.size()) {
        int len = fl_utf8len1(line[at]);
        if (len < 1 || at + static_cast<std::size_t>(len) > line.size()) len = 1;
        double cw = CharWidth(line.c_str() + at, len);
        if (used + cw > width && at > begin) break;
        if (line[at] == ' ') last_blank = at;
        used += cw;
        at += static_cast<std::size_t>(len);
      }
      std::size_t end = at;
      if (at < line.size() && last_blank != std::string::npos && last_blank > begin) end = last_blank + 1;
      wrapped_.push_back(line.substr(begin, end - begin));
      begin = end;
    }
  }
  int visible = visible_lines();
  int total = line_count();
  int max_top = std::max(0, total - visible);
  top_ = std::clamp(top_, 0, max_top);
  bar_->value(top_, visible, 0, std::max(total, visible));
  if (total > visible) {
    bar_->activate();
  } else {
    bar_->deactivate();
  }
}

void NoticeBox::ScrollTo(int top_line) {
  int max_top = std::max(0, line_count() - visible_lines());
  top_line = std::clamp(top_line, 0, max_top);
  if (top_line == top_) return;
  top_ = top_line;
  bar_->value(top_, visible_lines(), 0, std::max(line_count(), visible_lines()));
  // The text redraws itself without erasing; the dialog repaints the
  // background behind it once it has been told the content moved.
  text_->redraw();
}

void NoticeBox::Scrolled() {
  if (DialogView* view = info_.frontend->view())
    view->NoticeMouse(info_.id, NoticeInput::VerticalScroll, false);
  ScrollTo(bar_->value());
}

void NoticeText::draw() {
  const FontChoice& fonts = Fonts();
  Colour colour;
  if (DialogView* view = owner_->info().frontend->view()) colour = view->TextColour(owner_->info().id);
  fl_font(kTextFont, fonts.notice_size);
  fl_color(ToFl(colour));
  fl_push_clip(x(), y(), w(), h());
  int line_h = std::max(1, fl_height());
  int baseline = y() + line_h - fl_descent();
  const auto& lines = owner_->wrapped();
  for (int i = owner_->top_line(); i < owner_->line_count() && baseline - line_h < y() + h(); ++i) {
    fl_draw(lines[static_cast<std::size_t>(i)].c_str(), x() + 2, baseline);
    baseline += line_h;
  }
  fl_pop_clip();
}

int NoticeText::handle(int event) {
  DialogView* view = owner_->info().frontend->view();
  int id = owner_->info().id;
  switch (event) {
    case FL_MOUSEWHEEL:
      if (view != nullptr) view->NoticeMouse(id, NoticeInput::MouseWheel, false);
      owner_->ScrollTo(owner_->top_line() + Fl::event_dy() * kWheelLines);
      return 1;
    case FL_PUSH:
      if (Fl::event_button() != FL_LEFT_MOUSE) return 0;
      if (view != nullptr) view->NoticeMouse(id, NoticeInput::LeftButtonDown, true);
      return 1;
    case FL_DRAG: {
      int held = Fl::event_state() & (FL_BUTTONS | FL_SHIFT | FL_CTRL);
      if (view != nullptr) view->NoticeMouse(id, NoticeInput::MouseMove, held == FL_BUTTON1);
      // Dragging past the edges moves the content, as a selection would.
      if (Fl::event_y() < y()) owner_->ScrollTo(owner_->top_line() - 1);
      if (Fl::event_y() > y() + h()) owner_->ScrollTo(owner_->top_line() + 1);
      return 1;
    }
    case FL_RELEASE:
      return 1;
    default:
      return Fl_Widget::handle(event);
  }
}

// ---- frontend ----

void GuiFrontend::EnsureUiThread() {
  if (!locked_.exchange(true)) {
    ui_thread_ = std::this_thread::get_id();
    Fl::lock();  // lets other threads wake the loop with Fl::awake
  }
  Fonts();
}

Fl_Widget* GuiFrontend::Widget(int control) {
  auto it = widgets_.find(control);
  return it == widgets_.end() ? nullptr : it->second;
}

void GuiFrontend::DialogShown(Dialog& dialog) {
  EnsureUiThread();
  DestroyWindow();
  dialog_ = &dialog;
  const FontChoice& fonts = Fonts();
  const UnitScale& s = fonts.scale;
  const DialogTemplate& t = dialog.dialog_template();
  window_ = new MainWindow(s.X(t.width), s.Y(t.height), &dialog);
  window_->clear_border();
  window_->callback([](Fl_Widget*, void*) {});  // window-close and Escape do nothing
  window_->copy_label(Utf8(dialog.title()).c_str());
  window_->begin();
  for (const ControlState& c : dialog.controls()) {
    ControlInfo info{this, c.spec.id, c.spec.kind, Utf8(c.text)};
    int x = s.X(c.spec.x), y = s.Y(c.spec.y), w = std::max(1, s.X(c.spec.width)),
        h = std::max(1, s.Y(c.spec.height));
    Fl_Widget* widget = nullptr;
    switch (c.spec.kind) {
      case ControlKind::Static:
      case ControlKind::TransparentStatic:
        widget = new TextWidget(x, y, w, h, info);
        break;
      case ControlKind::HyperLink: {
        auto* link = new LinkWidget(x, y, w, h, info);
        link->Fit();
        widget = link;
        break;
      }
      case ControlKind::Progress: {
        auto* bar = new Fl_Progress(x, y, w, h);
        bar->box(FL_THIN_DOWN_BOX);
        bar->color(fl_rgb_color(230, 230, 230));
        bar->selection_color(fl_rgb_color(6, 176, 37));
        bar->minimum(0);
        bar->maximum(100);
        bar->value(static_cast<float>(c.progress));
        widget = bar;
        break;
      }
      case ControlKind::Button: {
        auto* button = new PictureButton(x, y, w, h, info);
        widget = button;
        break;
      }
      case ControlKind::NoticeEdit: {
        auto* notice = new NoticeBox(x, y, w, h, info);
        notice->SetText(c.text);
        widget = notice;
        break;
      }
    }
    if (widget == nullptr) continue;
    if (!c.visible) widget->hide();
    if (!c.enabled) widget->deactivate();
    if (c.spec.id != -1) widgets_[c.spec.id] = widget;
  }
  window_->end();
  for (const ControlState& c : dialog.controls())
    if (!c.image.empty()) ImageChanged(dialog, c.spec.id);
  window_->position((Fl::w() - window_->w()) / 2, (Fl::h() - window_->h()) / 2);
  window_->show();
  window_up_ = true;
  Fl::check();
}

void GuiFrontend::DestroyWindow() {
  if (window_ == nullptr) return;
  window_up_ = false;
  window_->Forget();
  window_->hide();
  // The dialog may end inside one of the window's own callbacks: FLTK deletes
  // it once that has returned.
  Fl::delete_widget(window_);
  window_ = nullptr;
  widgets_.clear();
  Fl::check();
}

void GuiFrontend::DialogEnded(Dialog& dialog, int /*result*/) {
  if (&dialog != dialog_) return;
  DestroyWindow();
  dialog_ = nullptr;
}

void GuiFrontend::TitleChanged(Dialog& dialog, std::string_view title) {
  if (&dialog == dialog_ && window_ != nullptr) window_->copy_label(Utf8(title).c_str());
}

void GuiFrontend::TextChanged(Dialog& dialog, int control, std::string_view text) {
  if (&dialog != dialog_) return;
  Fl_Widget* widget = Widget(control);
  if (widget == nullptr) return;
  if (auto* notice = dynamic_cast<NoticeBox*>(widget)) {
    notice->info().text = Utf8(text);
    notice->SetText(std::string(text));
    notice->text_area()->redraw();
    notice->scroll_bar()->redraw();
  } else if (auto* link = dynamic_cast<LinkWidget*>(widget)) {
    link->info().text = Utf8(text);
    link->Fit();
    link->redraw();
  } else if (auto* label = dynamic_cast<TextWidget*>(widget)) {
    // The text draws itself without erasing; SetStatusText invalidates the
    // area under it so that the background comes back first.
    label->info().text = Utf8(text);
    label->redraw();
  }
}

void GuiFrontend::VisibleChanged(Dialog& dialog, int control, bool visible) {
  if (&dialog != dialog_) return;
  if (Fl_Widget* widget = Widget(control)) {
    if (visible) {
      widget->show();
    } else {
      widget->hide();
    }
    DamageRect(widget->x(), widget->y(), widget->w(), widget->h());
  }
}

void GuiFrontend::EnabledChanged(Dialog& dialog, int control, bool enabled) {
  if (&dialog != dialog_) return;
  if (Fl_Widget* widget = Widget(control)) {
    if (enabled) {
      widget->activate();
    } else {
      widget->deactivate();
    }
  }
}

void GuiFrontend::ProgressChanged(Dialog& dialog, int control, int value) {
  if (&dialog != dialog_) return;
  if (auto* bar = dynamic_cast<Fl_Progress*>(Widget(control))) bar->value(static_cast<float>(value));
}

void GuiFrontend::ImageChanged(Dialog& dialog, int control) {
  if (&dialog != dialog_) return;
  auto* button = dynamic_cast<PictureButton*>(Widget(control));
  const ControlState* state = dialog.Control(control);
  if (button == nullptr || state == nullptr) return;
  PixelView picture;
  if (DialogView* v = view()) picture = v->ControlPicture(control);
  // Buttons that show a picture of the program's own resources take its size.
  bool size_to_picture = state->image.rfind("resource:", 0) == 0;
  button->SetPicture(picture, size_to_picture);
}

void GuiFrontend::Invalidate(Dialog& dialog, int control) {
  if (&dialog != dialog_) return;
  Fl_Widget* widget = Widget(control);
  if (widget == nullptr) return;
  if (auto* link = dynamic_cast<LinkWidget*>(widget)) link->Fit();
  int w = widget->w();
  if (auto* notice = dynamic_cast<NoticeBox*>(widget)) w = notice->text_area()->w();
  DamageRect(widget->x(), widget->y(), w, widget->h());
}

void GuiFrontend::WaitForEvents(Dialog& /*dialog*/, int timeout_ms) {
  EnsureUiThread();
  if (woken_.exchange(false)) {
    Fl::check();
    return;
  }
  if (timeout_ms < 0) {
    Fl::wait(1e9);
  } else {
    Fl::wait(timeout_ms / 1000.0);
  }
  woken_ = false;
}

void GuiFrontend::Wake() {
  woken_ = true;
  if (locked_) Fl::awake();
}

// A message box: icon, text and the buttons of the kind, the first button the
// default (Enter). Escape and the window's close answer Cancel, or No, when
// the box has that button; a Yes/No box must be answered.
class MessageBoxWindow : public Fl_Window {
 public:
  MessageBoxWindow(const std::string& caption, const std::string& text, Buttons buttons, Icon icon)
      : Fl_Window(300, 120), text_(text), buttons_(buttons) {
    copy_label(caption.c_str());
    const int font_size = 14;
    fl_font(FL_HELVETICA, font_size);
    int text_w = 360, text_h = 0;
    fl_measure(text_.c_str(), text_w, text_h, 0);
    text_w = std::clamp(text_w, 120, 560);
    text_h = std::max(text_h, 32);
    struct Choice {
      const char* label;
      Answer answer;
    };
    std::vector<Choice> choices;
    switch (buttons) {
      case Buttons::OK: choices = {{fl_ok, Answer::OK}}; break;
      case Buttons::OKCancel: choices = {{fl_ok, Answer::OK}, {fl_cancel, Answer::Cancel}}; break;
      case Buttons::YesNo: choices = {{fl_yes, Answer::Yes}, {fl_no, Answer::No}}; break;
      case Buttons::RetryCancel: choices = {{U8(u8"重试"), Answer::Retry}, {fl_cancel, Answer::Cancel}}; break;
    }
    const int button_w = 80, button_h = 26, gap = 10;
    int width = std::max(20 + 40 + 12 + text_w + 20, static_cast<int>(choices.size()) * (button_w + gap) + 20);
    int height = 20 + text_h + 20 + button_h + 14;
    size(width, height);
    begin();
    auto* mark = new Fl_Box(20, 20, 36, 36);
    mark->box(FL_OVAL_BOX);
    mark->labelfont(FL_TIMES_BOLD);
    mark->labelsize(26);
    mark->labelcolor(FL_WHITE);
    switch (icon) {
      case Icon::Error: mark->color(fl_rgb_color(200, 30, 30)); mark->label("x"); break;
      case Icon::Warning: mark->color(fl_rgb_color(230, 170, 0)); mark->label("!"); break;
      case Icon::Info: mark->color(fl_rgb_color(30, 90, 200)); mark->label("i"); break;
      case Icon::None: mark->hide(); break;
    }
    auto* body = new Fl_Box(20 + 40 + 12, 20, text_w, text_h);
    body->label(text_.c_str());
    body->labelfont(FL_HELVETICA);
    body->labelsize(font_size);
    body->align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
    int x = width - 20 - static_cast<int>(choices.size()) * (button_w + gap) + gap;
    for (std::size_t i = 0; i < choices.size(); ++i) {
      Fl_Button* button = i == 0 ? new Fl_Return_Button(x, height - 14 - button_h, button_w, button_h)
                                 : new Fl_Button(x, height - 14 - button_h, button_w, button_h);
      button->label(choices[i].label);
      answers_[button] = choices[i].answer;
      button->callback([](Fl_Widget* w, void* self) {
        auto* box = static_cast<MessageBoxWindow*>(self);
        box->Answered(box->answers_[w]);
      }, this);
      x += button_w + gap;
    }
    end();
    callback([](Fl_Widget*, void* self) {  // Escape or the window's close
      auto* box = static_cast<MessageBoxWindow*>(self);
      if (HasButton(box->buttons_, Answer::Cancel) || box->buttons_ == Buttons::OK)
        box->Answered(DefaultAnswer(box->buttons_));
    }, this);
    set_modal();
  }

  Answer Run(int centre_x, int centre_y, Icon icon) {
    position(std::max(0, centre_x - w() / 2), std::max(0, centre_y - h() / 2));
    // Warnings and errors come with the desktop's sound, as the system's boxes do.
    if (icon == Icon::Warning) fl_beep(FL_BEEP_DEFAULT);
    if (icon == Icon::Error) fl_beep(FL_BEEP_ERROR);
    show();
    while (!done_ && shown()) Fl::wait();
    hide();
    return answer_;
  }

 private:
  void Answered(Answer answer) {
    answer_ = answer;
    done_ = true;
  }

  std::string text_;
  Buttons buttons_;
  std::map<Fl_Widget*, Answer> answers_;
  Answer answer_ = Answer::OK;
  bool done_ = false;
};

Answer GuiFrontend::AskHere(std::string_view text, std::string_view caption, Buttons buttons,
                            Icon icon) {
  Fonts();
  MessageBoxWindow box(Utf8(caption), Utf8(text), buttons, icon);
  // Centred on the dialog, or on the screen when there is none.
  if (window_ != nullptr && window_->shown())
    return box.Run(window_->x() + window_->w() / 2, window_->y() + window_->h() / 2, icon);
  return box.Run(Fl::w() / 2, Fl::h() / 2, icon);
}

void GuiFrontend::RunBoxCall(void* data) {
  auto* call = static_cast<BoxCall*>(data);
  Answer answer = call->self->AskHere(call->text, call->caption, call->buttons, call->icon);
  std::lock_guard<std::mutex> lock(call->mutex);
  call->answer = answer;
  call->done = true;
  call->cv.notify_all();
}

Answer GuiFrontend::ShowMessageBox(Dialog* /*owner*/, std::string_view text, std::string_view caption,
                                   Buttons buttons, Icon icon) {
  if (locked_ && std::this_thread::get_id() != ui_thread_) {
    if (!window_up_) return DefaultAnswer(buttons);
    // Another thread asks while the window runs: the loop of the window's
    // thread shows the box.
    BoxCall call;
    call.text = std::string(text);
    call.caption = std::string(caption);
    call.buttons = buttons;
    call.icon = icon;
    call.self = this;
    Fl::awake(&GuiFrontend::RunBoxCall, &call);
    std::unique_lock<std::mutex> lock(call.mutex);
    call.cv.wait(lock, [&] { return call.done; });
    return call.answer;
  }
  EnsureUiThread();
  return AskHere(text, caption, buttons, icon);
}

}  // namespace

FontChoice CurrentFontChoice() { return Fonts(); }

}  // namespace gui

std::unique_ptr<Frontend> MakeGuiFrontend() {
  if (!gui::CanOpenDisplay()) return nullptr;
  return std::make_unique<gui::GuiFrontend>();
}

}  // namespace kestra::ui
