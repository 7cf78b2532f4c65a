#include "updater/app/controls/notice_edit.h"

#include <gtest/gtest.h>

#include "tests/updater/app/dialog_harness.h"

namespace kestra::app::controls {
namespace {

using test::Joined;
using ui::gui::NoticeInput;

// A script frontend that also notes which controls were invalidated.
class InvalidateRecorder : public ui::ScriptFrontend {
 public:
  using ui::ScriptFrontend::ScriptFrontend;
  void Invalidate(ui::Dialog&, int control) override { invalidated.push_back(control); }
  std::vector<int> invalidated;
};

// Records what the edit asks of its main window.
class MainWindow : public ui::Dialog {
 public:
  MainWindow(ui::Frontend* frontend, std::vector<std::pair<NoticeInput, bool>> inputs)
      : ui::Dialog(ui::DialogTemplate{}, frontend), inputs_(std::move(inputs)) {}

 protected:
  void OnInitDialog() override {
    edit_.Attach(*this, 1020);
    for (auto [input, left_only] : inputs_) edit_.OnInput(input, left_only);
    EndDialog(1);
  }

 private:
  CMyEdit edit_;
  std::vector<std::pair<NoticeInput, bool>> inputs_;
};

TEST(CMyEditTest, ScrollWheelAndDragStartTimerTwo) {
  struct Case {
    NoticeInput input;
    bool left_only;
    bool timer;
    bool repaint_now;
  };
  const Case cases[] = {
      {NoticeInput::VerticalScroll, false, true, false}, {NoticeInput::MouseWheel, false, true, false},
      {NoticeInput::MouseMove, true, true, false},       {NoticeInput::MouseMove, false, false, false},
      {NoticeInput::LeftButtonDown, true, false, true},
  };
  for (const Case& c : cases) {
    test::ScriptedInstall install;
    install.Frontend();  // writes the empty answers and clicks files
    ui::ScriptConfig config;
    config.transcript_file = install.transcript_path();
    InvalidateRecorder frontend(config);
    MainWindow window(&frontend, {{c.input, c.left_only}});
    window.RunModal();
    std::vector<std::string> expected;
    if (c.timer) expected.push_back(R"({"event":"timer","id":2,"period_ms":1})");
    expected.push_back(R"({"event":"end","result":1})");
    EXPECT_EQ(Joined(install.Transcript()), Joined(expected)) << static_cast<int>(c.input);
    EXPECT_EQ(frontend.invalidated, c.repaint_now ? std::vector<int>{1020} : std::vector<int>{});
  }
}

}  // namespace
}  // namespace kestra::app::controls
