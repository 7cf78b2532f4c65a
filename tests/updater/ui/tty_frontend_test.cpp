#include "updater/ui/tty_frontend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "updater/ui/dialog.h"

namespace {

using namespace kestra::ui;

// Input lines as a stream that ends after them.
std::FILE* InputOf(const std::string& text) {
  std::FILE* f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  return f;
}

class PressRecorder : public Dialog {
 public:
  using Dialog::Dialog;
  std::vector<int> pressed;
  std::string answer;

 protected:
  void OnInitDialog() override { SetTimer(1, 20); }
  void OnCommand(int control) override {
    pressed.push_back(control);
    answer = std::string(AnswerName(MessageBox("取消?", "取消确认", Buttons::YesNo, Icon::None)));
    EndDialog(3);
  }
  void OnTimer(int) override {
    if (++ticks_ > 200) EndDialog(-1);  // the press never came
  }

 private:
  int ticks_ = 0;
};

TEST(TtyFrontend, ALineWithAControlIdPressesItAndTheBoxTakesTheNextLine) {
  std::FILE* in = InputOf("hello\n999999999\n20\ny\n");
  std::FILE* out = std::tmpfile();
  TtyFrontend frontend(in, out);
  DialogTemplate t;
  t.controls = {{20, ControlKind::Button, "Button1", 0, 0, 1, 1}};
  PressRecorder dialog(t, &frontend);
  EXPECT_EQ(dialog.RunModal(), 3);
  EXPECT_EQ(dialog.pressed, std::vector<int>{20});
  EXPECT_EQ(dialog.answer, "Yes");
}

TEST(TtyFrontend, EndedInputGivesBoxesTheirDefault) {
  std::FILE* in = InputOf("");
  std::FILE* out = std::tmpfile();
  TtyFrontend frontend(in, out);
  EXPECT_EQ(frontend.ShowMessageBox(nullptr, "t", "c", Buttons::RetryCancel, Icon::Error), Answer::Cancel);
  EXPECT_EQ(frontend.ShowMessageBox(nullptr, "t", "c", Buttons::OK, Icon::None), Answer::OK);
}

TEST(TtyFrontend, PromptsSkipKeysTheBoxDoesNotHave) {
  std::FILE* in = InputOf("y\nr\n");
  std::FILE* out = std::tmpfile();
  TtyFrontend frontend(in, out);
  EXPECT_EQ(frontend.ShowMessageBox(nullptr, "t", "c", Buttons::RetryCancel, Icon::Warning), Answer::Retry);
}

}  // namespace
