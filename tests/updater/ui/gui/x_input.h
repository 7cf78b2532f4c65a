// Player input for windows under the test's X server: synthetic pointer and
// key events sent straight to a window (the server has no input devices a
// test could drive).
#pragma once

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <string>
#include <vector>

namespace kestra::test {

struct TopWindow {
  Window id = 0;
  int x = 0, y = 0, width = 0, height = 0;
};

class XInput {
 public:
  explicit XInput(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}
  ~XInput() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

  // The mapped windows directly below the root.
  std::vector<TopWindow> TopWindows() {
    std::vector<TopWindow> out;
    Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, root, &root, &parent, &children, &count)) return out;
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes a;
      if (XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable)
        out.push_back(TopWindow{children[i], a.x, a.y, a.width, a.height});
    }
    if (children != nullptr) XFree(children);
    return out;
  }

  void Press(const TopWindow& w, int x, int y, unsigned button = Button1) {
    Button(w, x, y, button, ButtonPress, 0);
  }
  void Release(const TopWindow& w, int x, int y, unsigned button = Button1) {
    Button(w, x, y, button, ButtonRelease, ButtonMask(button));
  }
  void Click(const TopWindow& w, int x, int y, unsigned button = Button1) {
    Press(w, x, y, button);
    Release(w, x, y, button);
  }
  void Move(const TopWindow& w, int x, int y, unsigned state = 0) {
    XEvent e{};
    e.xmotion.type = MotionNotify;
    e.xmotion.display = display_;
    e.xmotion.window = w.id;
    e.xmotion.root = DefaultRootWindow(display_);
    e.xmotion.x = x;
    e.xmotion.y = y;
    e.xmotion.x_root = w.x + x;
    e.xmotion.y_root = w.y + y;
    e.xmotion.state = state;
    e.xmotion.same_screen = True;
    XSendEvent(display_, w.id, True, PointerMotionMask | ButtonMotionMask, &e);
    XFlush(display_);
  }
  // Gives the window the keyboard first, as a click on it would.
  void Key(const TopWindow& w, KeySym sym) {
    XSetInputFocus(display_, w.id, RevertToParent, CurrentTime);
    XSync(display_, False);
    for (int type : {KeyPress, KeyRelease}) {
      XEvent e{};
      e.xkey.type = type;
      e.xkey.display = display_;
      e.xkey.window = w.id;
      e.xkey.root = DefaultRootWindow(display_);
      e.xkey.keycode = XKeysymToKeycode(display_, sym);
      e.xkey.same_screen = True;
      XSendEvent(display_, w.id, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &e);
    }
    XFlush(display_);
  }

 private:
  static unsigned ButtonMask(unsigned button) {
    return button == Button1 ? Button1Mask : button == Button3 ? Button3Mask : 0;
  }
  void Button(const TopWindow& w, int x, int y, unsigned button, int type, unsigned state) {
    XEvent e{};
    e.xbutton.type = type;
    e.xbutton.display = display_;
    e.xbutton.window = w.id;
    e.xbutton.root = DefaultRootWindow(display_);
    e.xbutton.x = x;
    e.xbutton.y = y;
    e.xbutton.x_root = w.x + x;
    e.xbutton.y_root = w.y + y;
    e.xbutton.button = button;
    e.xbutton.state = state;
    e.xbutton.same_screen = True;
    XSendEvent(display_, w.id, True, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
    XFlush(display_);
  }

  Display* display_;
};

}  // namespace kestra::test
