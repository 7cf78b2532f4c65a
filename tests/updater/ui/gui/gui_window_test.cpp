// The real window under a virtual X server: the main dialog with the
// installation's pictures, screenshots taken with ImageMagick and checked
// pixel by pixel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
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

namespace kestra {
namespace {

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
      auto pid = platform::process::Start({"Xvfb", name_, "-screen", "0", "1024x768x24", "-br", "-nolisten", "tcp"});
      if (!pid) break;
      pid_ = *pid;
      for (int i = 0; i < 1000; ++i) {
        if (platform::fs::Exists("/tmp/.X11-unix/X" + std::to_string(n))) return;
        if (!platform::process::IsAlive(pid_)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
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

bool Near(Rgb a, Rgb b, int tolerance = 12) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}
bool Dark(Rgb c) { return c.r < 80 && c.g < 80 && c.b < 80; }

const Rgb kLeftColour{200, 60, 40};
const Rgb kRightColour{40, 140, 200};
const Rgb kButtonColour{30, 210, 60};

std::string BackgroundFile() {
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

std::string ButtonFile() {
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
    services.fetch_notice = [](const config::SplitUrlResult&, std::string_view) {
      app::NoticeFetchResult r;
      r.ok = true;
      for (int i = 1; i <= 40; ++i) r.body += "第" + std::to_string(i) + "行维护公告 notice line\r\n";
      return r;
    };
    services.open_url = [](std::string_view) { return 42; };
    std::string display = display_.name();
    services.start_worker = [look, display](CkestraDlg& d, int) {
      return std::thread([look, display, &d] {
        look(d, [display](Screenshot& shot, const std::string& name) {
          return shot.Take(display, std::string(KESTRA_TEST_BIN_DIR) + "/" + name);
        });
        d.Post(app::kMsgClose, 0, 0);
      });
    };
    CkestraDlg dialog(0, services, frontend_.get());
    dialog.RunModal();
  }

  // Screenshots until the predicate holds (the window needs a moment to map).
  static bool ShootUntil(const std::function<bool(Screenshot&, const std::string&)>& shoot, Screenshot& shot,
                         const std::string& name, const std::function<bool(const Screenshot&)>& ready) {
    for (int i = 0; i < 40; ++i) {
      if (shoot(shot, name) && ready(shot)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  VirtualDisplay display_;
  test::TempDir dir_;
  std::unique_ptr<ui::Frontend> frontend_;
};

TEST_F(GuiWindowTest, ShowsTheBackgroundPicturesAndTexts) {
  dir_.Write("bk.bmp", BackgroundFile());
  dir_.Write("btn.bmp", ButtonFile());
  Screenshot shot;
  bool ready = false;
  RunDialog([&](CkestraDlg& d, const auto& shoot) {
    d.Post(app::kMsgStatusText, 0, app::NewTextParam("正在获取更新列表..."));
    d.Post(app::kMsgStatusText, 1, app::NewTextParam("patch1.0.6.tq"));
    d.Post(app::kMsgTotalSize, 0, app::NewSizeParam(5000000000ull));
    d.Send(app::kMsgProgress, 50, 0);
    ready = ShootUntil(shoot, shot, "gui_main_dialog.png", [&](const Screenshot& s) {
      // The notice has arrived and the left background shows.
      return Near(s.At(ScreenX(3), ScreenY(150)), kLeftColour) &&
             s.Count(ScreenX(20), ScreenY(70), ScreenX(120) - ScreenX(20), ScreenY(100) - ScreenY(70), Dark) > 20;
    });
  });
  ASSERT_TRUE(ready) << "the window never showed its background";
  // The stretched background: left half and right half in their colours.
  EXPECT_TRUE(Near(shot.At(ScreenX(3), ScreenY(5)), kLeftColour));
  EXPECT_TRUE(Near(shot.At(ScreenX(297), ScreenY(5)), kRightColour));
  EXPECT_TRUE(Near(shot.At(ScreenX(297), ScreenY(262)), kRightColour));
  // Outside the window the screen stays black.
  EXPECT_TRUE(Dark(shot.At(ScreenX(0) - 5, ScreenY(0) - 5)));
  // Texts in black over the picture: the progress label, the status line,
  // the package name, the labels and the links.
  auto dark_in = [&](int x, int y, int w, int h) {
    return shot.Count(ScreenX(x), ScreenY(y), ScreenX(x + w) - ScreenX(x), ScreenY(y + h) - ScreenY(y), Dark);
  };
  EXPECT_GT(dark_in(10, 204, 33, 8), 15) << "更新进度";
  EXPECT_GT(dark_in(8, 218, 100, 9), 15) << "status line";
  EXPECT_GT(dark_in(115, 34, 60, 8), 15) << "package name";
  EXPECT_GT(dark_in(7, 34, 42, 8), 15) << "label";
  EXPECT_GT(dark_in(22, 246, 33, 10), 15) << "link";
  // An empty stretch of background has no text.
  EXPECT_EQ(dark_in(240, 60, 40, 5), 0);
  // The cancel button shows btn.bmp; the maker's logo its own picture.
  EXPECT_GT(shot.Count(ScreenX(238), ScreenY(220), ScreenX(280) - ScreenX(238), ScreenY(235) - ScreenY(220),
                       [](Rgb c) { return Near(c, kButtonColour); }),
            100);
  EXPECT_GT(shot.Count(ScreenX(23), ScreenY(10), 96, 30, [](Rgb c) { return c.b > 100 && c.r < 120; }), 500);
  // The download bar is half full.
  ui::gui::UnitScale s = ui::gui::CurrentFontChoice().scale;
  int bar_y = ScreenY(188) + s.Y(13) / 2;
  EXPECT_FALSE(Near(shot.At(ScreenX(112), bar_y), shot.At(ScreenX(282), bar_y), 30));
}

TEST_F(GuiWindowTest, BrokenPicturesLeaveThePictureOutAndAMissingBackgroundIsRetried) {
  std::string truncated = BackgroundFile();
  truncated.resize(truncated.size() / 2);
  dir_.Write("bk.bmp", truncated);
  dir_.Write("btn.bmp", "this is not a bitmap");
  Screenshot before, after;
  bool first = false, second = false;
  RunDialog([&](CkestraDlg& d, const auto& shoot) {
    first = ShootUntil(shoot, before, "gui_without_background.png", [&](const Screenshot& s) {
      return s.Count(ScreenX(10), ScreenY(204), ScreenX(43) - ScreenX(10), ScreenY(212) - ScreenY(204), Dark) > 15;
    });
    // The picture appears later: the next erase loads it.
    dir_.Write("bk.bmp", BackgroundFile());
    d.Post(app::kMsgStatusText, 0, app::NewTextParam("正在检查当前版本号..."));
    second = ShootUntil(shoot, after, "gui_background_later.png", [&](const Screenshot& s) {
      return Near(s.At(ScreenX(150), ScreenY(221)), kLeftColour) || Near(s.At(ScreenX(150), ScreenY(221)), kRightColour);
    });
  });
  ASSERT_TRUE(first);
  EXPECT_FALSE(Near(before.At(ScreenX(3), ScreenY(5)), kLeftColour));
  EXPECT_FALSE(Dark(before.At(ScreenX(3), ScreenY(5))));  // the plain dialog face
  EXPECT_EQ(before.Count(ScreenX(238), ScreenY(220), ScreenX(280) - ScreenX(238), ScreenY(235) - ScreenY(220),
                         [](Rgb c) { return Near(c, kButtonColour); }),
            0);
  EXPECT_TRUE(second) << "the background was not loaded on a later erase";
}

// The updater itself, started as the launcher starts it, on the window frontend.
TEST_F(GuiWindowTest, TheUpdaterShowsTheInstallationsBackgroundAndTexts) {
  dir_.Write("bk.bmp", BackgroundFile());
  dir_.Write("btn.bmp", ButtonFile());
  setenv("KESTRA_UI", "gui", 1);
  auto pid = platform::process::Start({std::string(KESTRA_BIN_DIR) + "/kestra", "0", dir_.path()});
  unsetenv("KESTRA_UI");
  ASSERT_TRUE(pid);
  struct Stop {
    platform::process::Pid pid;
    ~Stop() {
      platform::process::Kill(pid);
      platform::process::Wait(pid, 5000);
    }
  } stop{*pid};
  Screenshot shot;
  std::string png = std::string(KESTRA_TEST_BIN_DIR) + "/gui_kestra_program.png";
  bool ready = false;
  for (int i = 0; i < 60 && !ready; ++i) {
    ready = shot.Take(display_.name(), png) && Near(shot.At(ScreenX(3), ScreenY(5)), kLeftColour) &&
            shot.Count(ScreenX(10), ScreenY(204), ScreenX(43) - ScreenX(10), ScreenY(212) - ScreenY(204), Dark) > 15;
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(ready) << "no window with bk.bmp and the progress label";
  EXPECT_TRUE(Near(shot.At(ScreenX(297), ScreenY(262)), kRightColour));
  EXPECT_GT(shot.Count(ScreenX(7), ScreenY(34), ScreenX(49) - ScreenX(7), ScreenY(42) - ScreenY(34), Dark), 15);
  EXPECT_GT(shot.Count(ScreenX(238), ScreenY(220), ScreenX(280) - ScreenX(238), ScreenY(235) - ScreenY(220),
                       [](Rgb c) { return Near(c, kButtonColour); }),
            100);
  EXPECT_TRUE(platform::process::IsAlive(*pid));
}

}  // namespace
}  // namespace kestra
