// The real window under a virtual X server: the main dialog with the
// installation's pictures, screenshots taken with ImageMagick and checked
// pixel by pixel.
#include "tests/updater/ui/gui/gui_test_support.h"
#include "tests/support/wait_until.h"

#include <random>

namespace kestra::test {
namespace {

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

TEST_F(GuiWindowTest, FinishedDownloadFillsTheBar) {
  dir_.Write("bk.bmp", BackgroundFile());
  dir_.Write("btn.bmp", ButtonFile());
  ui::gui::UnitScale s = ui::gui::CurrentFontChoice().scale;
  const int bar_y = ScreenY(188) + s.Y(13) / 2;
  Screenshot shot;
  bool ready = false;
  RunDialog([&](CkestraDlg& d, const auto& shoot) {
    d.Post(app::kMsgStatusText, 1, app::NewTextParam("patch1.0.6.tq"));
    d.Post(app::kMsgTotalSize, 0, app::NewSizeParam(31457280ull));
    d.Send(app::kMsgProgress, 100, 0);
    d.Post(app::kMsgStatusText, 0, app::NewTextParam("更新成功!"));
    // Kept in the build tree as the picture of a finished download.
    ready = ShootUntil(shoot, shot, "gui_main_dialog_100.png", [&](const Screenshot& sh) {
      return Near(sh.At(ScreenX(3), ScreenY(150)), kLeftColour) &&
             Near(sh.At(ScreenX(112), bar_y), sh.At(ScreenX(282), bar_y), 30);
    });
  });
  // Both ends of the download bar carry the fill colour, which is not the
  // background's.
  ASSERT_TRUE(ready) << "the download bar never filled";
  EXPECT_FALSE(Near(shot.At(ScreenX(282), bar_y), kRightColour, 30));
  EXPECT_FALSE(Near(shot.At(ScreenX(112), bar_y), kLeftColour, 30));
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

TEST_F(GuiWindowTest, NoticeOfAnySizeAndAnyBytesIsShown) {
  dir_.Write("bk.bmp", BackgroundFile());
  std::mt19937 random(5);
  notice_body_.clear();
  for (std::size_t i = 0; i < app::kMaxNoticeBytes + 1000; ++i) notice_body_ += static_cast<char>(random() & 0xFF);
  Screenshot shot;
  bool ready = false;
  RunDialog([&](CkestraDlg&, const auto& shoot) {
    ready = ShootUntil(shoot, shot, "gui_hostile_notice.png", [&](const Screenshot& s) {
      return Near(s.At(ScreenX(3), ScreenY(5)), kLeftColour) &&
             s.Count(ScreenX(20), ScreenY(70), ScreenX(120) - ScreenX(20), ScreenY(160) - ScreenY(70), Dark) > 200;
    });
  });
  EXPECT_TRUE(ready) << "the notice box shows nothing";
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
  bool ready = kestra::test::WaitUntil(
      [&] {
        return shot.Take(display_.name(), png) && Near(shot.At(ScreenX(3), ScreenY(5)), kLeftColour) &&
               shot.Count(ScreenX(10), ScreenY(204), ScreenX(43) - ScreenX(10), ScreenY(212) - ScreenY(204),
                          Dark) > 15;
      },
      kestra::test::kDefaultWaitMs, 100);
  ASSERT_TRUE(ready) << "no window with bk.bmp and the progress label";
  EXPECT_TRUE(Near(shot.At(ScreenX(297), ScreenY(262)), kRightColour));
  EXPECT_GT(shot.Count(ScreenX(7), ScreenY(34), ScreenX(49) - ScreenX(7), ScreenY(42) - ScreenY(34), Dark), 15);
  EXPECT_GT(shot.Count(ScreenX(238), ScreenY(220), ScreenX(280) - ScreenX(238), ScreenY(235) - ScreenY(220),
                       [](Rgb c) { return Near(c, kButtonColour); }),
            100);
  EXPECT_TRUE(platform::process::IsAlive(*pid));
}

}  // namespace
}  // namespace kestra::test
