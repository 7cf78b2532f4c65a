#include "updater/patch/patch_ui.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/temp_dir.h"
#include "updater/ui/dialog.h"
#include "updater/ui/script_frontend.h"
#include "updater/ui/transcript.h"

namespace kestra::patch {
namespace {

// A dialog that runs one piece of work on its UI thread and ends.
class WorkDialog : public ui::Dialog {
 public:
  WorkDialog(ui::Frontend* frontend, std::function<void(WorkDialog&)> work)
      : ui::Dialog(Template(), frontend), work_(std::move(work)) {}

 protected:
  void OnInitDialog() override {
    work_(*this);
    EndDialog(0);
  }

 private:
  static ui::DialogTemplate Template() {
    ui::DialogTemplate t;
    t.id = 102;
    ui::ControlSpec status;
    status.id = kStatusLineControl;
    status.kind = ui::ControlKind::TransparentStatic;
    t.controls.push_back(status);
    return t;
  }
  std::function<void(WorkDialog&)> work_;
};

class PatchUiTest : public ::testing::Test {
 protected:
  PatchUiTest() {
    dir_.Write("answers", "Retry\nCancel\n");
    config_.answers_file = dir_ / "answers";
    config_.transcript_file = dir_ / "transcript";
  }
  std::string Transcript() const { return dir_.Read("transcript"); }
  bool Recorded(std::string_view gbk) const {
    return Transcript().find(ui::Transcript::Quote(gbk)) != std::string::npos;
  }

  kestra::test::TempDir dir_;
  ui::ScriptConfig config_;
};

TEST_F(PatchUiTest, DialogUiUsesTheStatusLineAndOwnedBoxes) {
  auto frontend = ui::MakeScriptFrontend(config_);
  std::vector<ui::Answer> answers;
  std::vector<std::pair<int, std::string>> errors;
  std::string status;
  WorkDialog dialog(frontend.get(), [&](WorkDialog& d) {
    DialogPatchUi patch_ui(d, [&](int number, std::string_view text) {
      errors.emplace_back(number, std::string(text));
    });
    patch_ui.SetStatusText("解压 a.dat");
    patch_ui.PumpMessages();
    status = d.Text(kStatusLineControl);
    answers.push_back(patch_ui.Ask("增添文件失败", "错误", ui::Buttons::RetryCancel,
                                   ui::Icon::None));
    answers.push_back(patch_ui.Ask("更新中发生错误!", {}, ui::Buttons::RetryCancel,
                                   ui::Icon::Error));
    patch_ui.ShowUpdateError(23, "打开文件x失败");
  });
  dialog.RunModal();
  EXPECT_EQ(status, "解压 a.dat");
  EXPECT_EQ(answers, (std::vector<ui::Answer>{ui::Answer::Retry, ui::Answer::Cancel}));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].first, 23);
  EXPECT_TRUE(Recorded("解压 a.dat"));
  EXPECT_TRUE(Recorded("增添文件失败"));
  EXPECT_TRUE(Recorded(kDefaultCaption));  // a box without caption gets the default one
}

TEST_F(PatchUiTest, PlainUiAsksTheProcessFrontend) {
  auto previous = ui::SetFrontend(ui::MakeScriptFrontend(config_));
  {
    PlainPatchUi patch_ui;
    patch_ui.SetStatusText("正在删除 x");
    EXPECT_EQ(patch_ui.status_text(), "正在删除 x");
    EXPECT_EQ(patch_ui.Ask("q", "错误", ui::Buttons::RetryCancel, ui::Icon::None),
              ui::Answer::Retry);
    patch_ui.ShowUpdateError(23, "打开文件y失败");
  }
  ui::SetFrontend(std::move(previous));
  EXPECT_TRUE(Recorded("Vandor更新失败"));
  EXPECT_TRUE(Recorded(PlainUpdateErrorText(23, "打开文件y失败")));
  EXPECT_NE(PlainUpdateErrorText(23, "t").find("编号：23"), std::string::npos);
}

}  // namespace
}  // namespace kestra::patch
