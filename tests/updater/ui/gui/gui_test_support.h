// Shared pieces of the window tests: a virtual X server, screenshots, the
// installation's pictures and a fixture that runs the main dialog on the
// window frontend.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"
#include "updater/app/controls/bitmap.h"
#include "updater/app/dialog.h"
#include "updater/config/update_context.h"
#include "updater/ui/gui/gui_frontend.h"
#include "tests/support/wait_until.h"

namespace kestra::test {

using app::CkestraDlg;
using app::controls::Bitmap;

struct Rgb {
  int r = 0, g = 0, b = 0;
};

// An Xvfb of our own on a free display number, stopped with the object.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int n = 40 + platform::process::CurrentPid() % 300;
    for (int tries = 0; tries < 200; ++tries, ++n) {
      if (platform::fs::Exists("/tmp/.X" + std::to_string(n) + "-lock") ||
          platform::fs::Exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      name_ = ":" + std::to_string(n);
      auto pid = platform::process::Start({"Xvfb", name_, "-screen", "0", "1024x768x24", "-br", "-noreset", "-nolisten", "tcp"});
      if (!pid) break;
      pid_ = *pid;
      // Ready once the socket is there and the lock names our server: a
      // test program starting at the same moment may have won the number.
      bool ready = false;
      kestra::test::WaitUntil(
          [&] {
            ready = platform::fs::Exists("/tmp/.X11-unix/X" + std::to_string(n)) && LockHeldBy(n, pid_);
            return ready || !platform::process::IsAlive(pid_);
          },
          kestra::test::kDefaultWaitMs, 10);
      if (ready) return;
      platform::process::Kill(pid_);
      platform::process::Wait(pid_, 5000);
      pid_ = 0;
    }
    name_.clear();
  }
  ~VirtualDisplay() {
    if (pid_ != 0) {
      platform::process::Kill(pid_);
      platform::process::Wait(pid_, 5000);
    }
  }
  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }

 private:
  // The X server writes its process id into the display's lock file.
  static bool LockHeldBy(int display, platform::process::Pid pid) {
    std::string text;
    if (!platform::fs::ReadWholeFile("/tmp/.X" + std::to_string(display) + "-lock", text, 64)) return false;
    std::size_t start = text.find_first_not_of(" ");
    return start != std::string::npos && std::atoi(text.c_str() + start) == pid;
  }

  std::string name_;
  platform::process::Pid pid_ = 0;
};

// A screenshot of the whole screen, kept as PNG (for people) and read from a
// PPM copy (for the checks).
class Screenshot {
 public:
  bool Take(const std::string& display, const std::string& png) {
    std::string ppm = png + ".ppm";
    if (!Run({"import", "-display", display, "-window", "root", png})) return false;
    if (!Run({"convert", png, ppm})) return false;
    std::string bytes;
    if (!platform::fs::ReadWholeFile(ppm, bytes)) return false;
    platform::fs::RemoveFile(ppm);
    return Parse(bytes);
  }
  Rgb At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    std::size_t at = (static_cast<std::size_t>(y) * width_ + x) * 3;
    return {static_cast<unsigned char>(pixels_[at]), static_cast<unsigned char>(pixels_[at + 1]),
            static_cast<unsigned char>(pixels_[at + 2])};
  }
  // How many pixels of the rectangle satisfy the predicate.
  int Count(int x, int y, int w, int h, const std::function<bool(Rgb)>& test) const {
    int n = 0;
    for (int yy = y; yy < y + h; ++yy)
      for (int xx = x; xx < x + w; ++xx) n += test(At(xx, yy)) ? 1 : 0;
    return n;
  }

 private:
  static bool Run(const std::vector<std::string>& argv) {
    auto pid = platform::process::Start(argv);
    if (!pid) return false;
    auto code = platform::process::Wait(*pid, 30000);
    return code && *code == 0;
  }
  bool Parse(const std::string& b) {
    std::size_t at = 0;
    auto token = [&]() {
      for (;;) {
        while (at < b.size() && std::isspace(static_cast<unsigned char>(b[at]))) ++at;
        if (at < b.size() && b[at] == '#') {
          while (at < b.size() && b[at] != '\n') ++at;
          continue;
        }
        break;
      }
      std::size_t start = at;
      while (at < b.size() && !std::isspace(static_cast<unsigned char>(b[at]))) ++at;
      return b.substr(start, at - start);
    };
    if (token() != "P6") return false;
    width_ = std::atoi(token().c_str());
    height_ = std::atoi(token().c_str());
    if (token() != "255") return false;
    ++at;
    if (width_ <= 0 || height_ <= 0 || b.size() < at + static_cast<std::size_t>(width_) * height_ * 3) return false;
    pixels_ = b.substr(at);
    return true;
  }
  int width_ = 0, height_ = 0;
  std::string pixels_;
};

inline bool Near(Rgb a, Rgb b, int tolerance = 12) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}
inline bool Dark(Rgb c) { return c.r < 80 && c.g < 80 && c.b < 80; }

inline const Rgb kLeftColour{200, 60, 40};
inline const Rgb kRightColour{40, 140, 200};
inline const Rgb kButtonColour{30, 210, 60};

inline std::string BackgroundFile() {
  // 200 x 100 pixels, stretched over a window of another shape.
  Bitmap b;
  b.width = 200;
  b.height = 100;
  b.rgb.resize(200 * 100 * 3);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 200; ++x) {
      Rgb c = x < 100 ? kLeftColour : kRightColour;
      std::size_t at = (static_cast<std::size_t>(y) * 200 + x) * 3;
      b.rgb[at] = static_cast<std::uint8_t>(c.r);
      b.rgb[at + 1] = static_cast<std::uint8_t>(c.g);
      b.rgb[at + 2] = static_cast<std::uint8_t>(c.b);
    }
  return app::controls::EncodeBmp24(b);
}

inline std::string ButtonFile() {
  Bitmap b;
  b.width = 40;
  b.height = 16;
  b.rgb.assign(40 * 16 * 3, 0);
  for (std::size_t i = 0; i < b.rgb.size(); i += 3) {
    b.rgb[i] = static_cast<std::uint8_t>(kButtonColour.r);
    b.rgb[i + 1] = static_cast<std::uint8_t>(kButtonColour.g);
    b.rgb[i + 2] = static_cast<std::uint8_t>(kButtonColour.b);
  }
  return app::controls::EncodeBmp24(b);
}

class GuiWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.ok()) GTEST_SKIP() << "Xvfb could not be started";
    setenv("DISPLAY", display_.name().c_str(), 1);
    MutableContext().install_root = dir_.path() + "/";
    dir_.Write("update.ini", "[Setting]\r\nVersion=1.0.0\r\n");
    frontend_ = ui::MakeGuiFrontend();
    ASSERT_NE(frontend_, nullptr);
  }
  void TearDown() override { MutableContext().install_root.clear(); }

  // Pixel position on the screen of a point of the dialog in dialog units.
  int ScreenX(int units) const {
    ui::gui::UnitScale s = ui::gui::CurrentFontChoice().scale;
    return (1024 - s.X(300)) / 2 + s.X(units);
  }
  int ScreenY(int units) const {
    ui::gui::UnitScale s = ui::gui::CurrentFontChoice().scale;
    return (768 - s.Y(266)) / 2 + s.Y(units);
  }

  // Runs the dialog; `look` runs on the worker thread with a function that
  // takes a screenshot into the build tree, and the dialog closes after it.
  void RunDialog(const std::function<void(CkestraDlg&, const std::function<bool(Screenshot&, const std::string&)>&)>& look) {
    app::DialogServices services;
    std::string body = notice_body_;
    services.fetch_notice = [body](const config::SplitUrlResult&, std::string_view) {
      app::NoticeFetchResult r;
      r.ok = true;
      r.body = body;
      return r;
    };
    services.open_url = [](std::string_view) { return 42; };
    std::string display = display_.name();
    // The body may outlast the dialog (the player can close it first): the
    // dialog object stays until the body has finished.
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> body_done = finished->get_future();
    services.start_worker = [look, display, finished](CkestraDlg& d, int) {
      return std::thread([look, display, finished, &d] {
        look(d, [display](Screenshot& shot, const std::string& name) {
          return shot.Take(display, std::string(KESTRA_TEST_BIN_DIR) + "/" + name);
        });
        d.Post(app::kMsgClose, 0, 0);
        finished->set_value();
      });
    };
    CkestraDlg dialog(0, services, frontend_.get());
    dialog.RunModal();
    body_done.wait_for(std::chrono::seconds(120));
  }

  // Screenshots until the predicate holds (the window needs a moment to map).
  static bool ShootUntil(const std::function<bool(Screenshot&, const std::string&)>& shoot, Screenshot& shot,
                         const std::string& name, const std::function<bool(const Screenshot&)>& ready) {
    return kestra::test::WaitUntil([&] { return shoot(shot, name) && ready(shot); },
                                   kestra::test::kDefaultWaitMs, 100);
  }

  // One server for the whole test program: the window frontend keeps its
  // connection for the life of the process.
  static VirtualDisplay& SharedDisplay() {
    static VirtualDisplay display;
    return display;
  }
  VirtualDisplay& display_ = SharedDisplay();
  TempDir dir_;
  std::unique_ptr<ui::Frontend> frontend_;
  // What the notice server answers.
  std::string notice_body_ = [] {
    std::string text;
    for (int i = 1; i <= 40; ++i) text += "第" + std::to_string(i) + "行维护公告 notice line\r\n";
    return text;
  }();
};

}  // namespace kestra::test
