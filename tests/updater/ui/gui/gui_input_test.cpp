// The player's hand on the window: hovering a link shows its url, the wheel
// scrolls the notice, the window follows a drag, and the bitmap cancel
// button asks before it closes.
#include "tests/updater/ui/gui/gui_test_support.h"
#include "tests/updater/ui/gui/x_input.h"
#include "tests/support/wait_until.h"

namespace kestra::test {
namespace {

// The pale yellow of tool tips.
bool ToolTipColour(Rgb c) { return c.r > 230 && c.g > 230 && c.b > 120 && c.b < 235; }

TEST_F(GuiWindowTest, PlayerInputReachesTheDialog) {
  dir_.Write("bk.bmp", BackgroundFile());
  dir_.Write("btn.bmp", ButtonFile());
  XInput input(display_.name());
  ASSERT_TRUE(input.ok());
  ui::gui::UnitScale s = ui::gui::CurrentFontChoice().scale;
  const int width = s.X(300), height = s.Y(266);

  Screenshot first, hover, scrolled, moved, question;
  bool shown = false, tip = false, box_seen = false, closed_by_yes = false;
  int notice_changed = 0;
  int moved_dx = 0, moved_dy = 0;
  auto find_main = [&]() -> std::optional<TopWindow> {
    for (const TopWindow& w : input.TopWindows())
      if (w.width == width && w.height == height) return w;
    return std::nullopt;
  };
  auto notice_area = [&](const Screenshot& shot, int ox, int oy) {
    // The text part of the notice box, without its scroll bar.
    std::string pixels;
    for (int y = oy + s.Y(68); y < oy + s.Y(68) + 40; ++y)
      for (int x = ox + s.X(18); x < ox + s.X(18) + 120; ++x) pixels += Dark(shot.At(x, y)) ? '#' : '.';
    return pixels;
  };

  RunDialog([&](app::CkestraDlg&, const auto& shoot) {
    shown = ShootUntil(shoot, first, "gui_input_start.png", [&](const Screenshot& shot) {
      return Near(shot.At(ScreenX(3), ScreenY(5)), kLeftColour) &&
             shot.Count(ScreenX(20), ScreenY(70), 100, 30, Dark) > 20;  // the notice is in
    });
    std::optional<TopWindow> main = find_main();
    if (!shown || !main) return;
    const int ox = main->x, oy = main->y;

    // Hover over the first link: its tool tip shows up below the pointer.
    int link_x = s.X(22) + 5, link_y = s.Y(246) + 4;
    input.Move(*main, link_x - 30, link_y - 30);
    input.Move(*main, link_x, link_y);
    tip = ShootUntil(shoot, hover, "gui_link_tooltip.png", [&](const Screenshot& shot) {
      return shot.Count(ox + link_x - 40, oy + link_y, 300, 60, ToolTipColour) > 200;
    });
    input.Move(*main, 5, 5);

    // Three wheel steps down over the notice.
    std::string before = notice_area(first, ox, oy);
    for (int i = 0; i < 3; ++i) input.Click(*main, s.X(100), s.Y(100), Button5);
    ShootUntil(shoot, scrolled, "gui_notice_scrolled.png", [&](const Screenshot& shot) {
      return notice_area(shot, ox, oy) != before;
    });
    std::string after = notice_area(scrolled, ox, oy);
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) notice_changed += before[i] != after[i];

    // Drag the window by its background.
    // A hand takes its time: each event is seen before the next comes.
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
    input.Press(*main, 4, 4);
    pause();
    input.Move(*main, 30, 20, Button1Mask);
    pause();
    input.Move(*main, 54, 34, Button1Mask);
    pause();
    input.Release(*main, 54, 34);
    kestra::test::WaitUntil(
        [&] {
          std::optional<TopWindow> now = find_main();
          if (!now || (now->x == ox && now->y == oy)) return false;
          moved_dx = now->x - ox;
          moved_dy = now->y - oy;
          return true;
        },
        kestra::test::kDefaultWaitMs, 20);
    shoot(moved, "gui_window_dragged.png");
    main = find_main();
    if (!main) return;

    // The cancel button asks; Yes ends the dialog and the window goes.
    input.Click(*main, s.X(238 + 21), s.Y(220 + 7));
    std::optional<TopWindow> box;
    kestra::test::WaitUntil(
        [&] {
          for (const TopWindow& w : input.TopWindows())
            if (w.id != main->id) box = w;
          return box.has_value();
        },
        kestra::test::kDefaultWaitMs, 20);
    if (!box) return;
    box_seen = true;
    ShootUntil(shoot, question, "gui_cancel_question.png", [&](const Screenshot& shot) {
      return shot.Count(box->x, box->y, box->width, box->height, Dark) > 50;
    });
    // The first of the two buttons (80 x 26, 10 apart, 20 from the right and
    // 14 from the bottom edge) is Yes.
    input.Click(*box, box->width - 20 - 2 * 90 + 10 + 40, box->height - 14 - 13);
    // Yes: the dialog ends and its window goes away before our own close.
    closed_by_yes = kestra::test::WaitUntil([&] { return !find_main().has_value(); },
                                            kestra::test::kDefaultWaitMs, 20);
  });

  ASSERT_TRUE(shown);
  EXPECT_TRUE(tip) << "no tool tip over the link";
  EXPECT_GT(notice_changed, 100) << "the wheel did not move the notice";
  EXPECT_EQ(moved_dx, 50);
  EXPECT_EQ(moved_dy, 30);
  EXPECT_TRUE(box_seen) << "the cancel button asked nothing";
  EXPECT_TRUE(closed_by_yes) << "Yes did not end the dialog";
}

}  // namespace
}  // namespace kestra::test
