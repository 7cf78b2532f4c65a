#include "updater/ui/tty_dialog_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "updater/ui/dialog.h"
#include "updater/ui/script_frontend.h"

namespace kestra::ui {
namespace {

DialogTemplate SmallTemplate() {
  DialogTemplate t;
  t.title = "《Vandor》更新";
  t.controls = {
      {-1, ControlKind::Static, "更新包版本号", 7, 34, 42, 8},
      {1002, ControlKind::TransparentStatic, "", 115, 34, 176, 8},
      {1020, ControlKind::NoticeEdit, "", 18, 68, 263, 99},
      {1000, ControlKind::Progress, "", 109, 188, 176, 13},
      {1005, ControlKind::TransparentStatic, "", 54, 190, 44, 11},
      {-1, ControlKind::Static, "已下载", 10, 191, 25, 8},
      {1008, ControlKind::Button, "Button1", 238, 220, 42, 15},
      {1004, ControlKind::TransparentStatic, "", 8, 218, 217, 9},
      {1010, ControlKind::HyperLink, "补丁下载", 22, 246, 33, 12},
      {1012, ControlKind::HyperLink, "官方主页", 148, 246, 33, 12},
  };
  return t;
}

class TtyViewTest : public ::testing::Test {
 protected:
  TtyViewTest() : frontend_(MakeScriptFrontend(ScriptConfig{})), dialog_(SmallTemplate(), frontend_.get()) {}
  std::unique_ptr<Frontend> frontend_;
  Dialog dialog_;
};

TEST_F(TtyViewTest, RendersRowsBarsLinksAndTheNotice) {
  dialog_.SetText(1002, "patch1.0.6.tq");
  dialog_.SetProgress(1000, 50);
  dialog_.SetText(1005, "500000");
  dialog_.SetText(1004, "正在获取更新列表...");
  std::string notice;
  for (int i = 1; i <= 8; ++i) notice += "第" + std::to_string(i) + "行\r\n";
  dialog_.SetText(1020, notice);
  const std::string expected =
      "==== \xE3\x80\x8AVandor\xE3\x80\x8B\xE6\x9B\xB4\xE6\x96\xB0 ====\n"
      "\xE6\x9B\xB4\xE6\x96\xB0\xE5\x8C\x85\xE7\x89\x88\xE6\x9C\xAC\xE5\x8F\xB7   patch1.0.6.tq\n"
      "  | \xE7\xAC\xAC" "1\xE8\xA1\x8C\n"
      "  | \xE7\xAC\xAC" "2\xE8\xA1\x8C\n"
      "  | \xE7\xAC\xAC" "3\xE8\xA1\x8C\n"
      "  | \xE7\xAC\xAC" "4\xE8\xA1\x8C\n"
      "  | \xE7\xAC\xAC" "5\xE8\xA1\x8C\n"
      "  | \xE7\xAC\xAC" "6\xE8\xA1\x8C\n"
      "  | (3 more lines)\n"
      "\xE5\xB7\xB2\xE4\xB8\x8B\xE8\xBD\xBD   500000   [##########----------]  50%\n"
      "\xE6\xAD\xA3\xE5\x9C\xA8\xE8\x8E\xB7\xE5\x8F\x96\xE6\x9B\xB4\xE6\x96\xB0\xE5\x88\x97\xE8\xA1\xA8...   [1008]\n"
      "<\xE8\xA1\xA5\xE4\xB8\x81\xE4\xB8\x8B\xE8\xBD\xBD>   <\xE5\xAE\x98\xE6\x96\xB9\xE4\xB8\xBB\xE9\xA1\xB5>\n";
  EXPECT_EQ(RenderDialogText(dialog_), expected);
  dialog_.SetVisible(1008, false);
  EXPECT_EQ(RenderDialogText(dialog_).find("[1008]"), std::string::npos);
}

TEST_F(TtyViewTest, RefreshPrintsChangesAtMostOncePerInterval) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  TtyDialogView view(1000);
  EXPECT_TRUE(view.Refresh(dialog_, out, 0));
  dialog_.SetText(1004, "a");
  EXPECT_FALSE(view.Refresh(dialog_, out, 500));   // too soon
  EXPECT_TRUE(view.Refresh(dialog_, out, 1500));   // changed and due
  EXPECT_FALSE(view.Refresh(dialog_, out, 5000));  // nothing new
  std::fclose(out);
}

}  // namespace
}  // namespace kestra::ui
