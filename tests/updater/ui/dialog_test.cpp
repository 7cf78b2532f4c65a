#include "updater/ui/dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "updater/ui/script_frontend.h"

namespace {

using namespace kestra::ui;

constexpr unsigned kAppend = 5000;
constexpr unsigned kEnd = 5001;
constexpr unsigned kDouble = 5002;

DialogTemplate SmallTemplate() {
  DialogTemplate t;
  t.id = 1;
  t.title = "测试";
  t.controls = {{10, ControlKind::TransparentStatic, "Static", 0, 0, 10, 10},
                {20, ControlKind::Button, "Button1", 0, 0, 10, 10},
                {30, ControlKind::Progress, "", 0, 0, 10, 10}};
  return t;
}

// Records what its handlers saw, in order.
class RecordingDialog : public Dialog {
 public:
  using Dialog::Dialog;
  std::function<void(RecordingDialog&)> on_init;
  std::function<void(RecordingDialog&, int)> on_command;
  std::vector<std::string> seen;
  std::thread::id handler_thread;
  std::vector<std::string> discarded;
  std::mutex discarded_mutex;

 protected:
  void OnInitDialog() override {
    if (on_init) on_init(*this);
  }
  LResult OnMessage(unsigned message, WParam wparam, LParam lparam) override {
    handler_thread = std::this_thread::get_id();
    if (message == kAppend) seen.push_back("m" + std::to_string(wparam));
    if (message == kEnd) EndDialog(static_cast<int>(wparam));
    if (message == kDouble) return lparam * 2;
    return 0;
  }
  void OnDiscardedMessage(unsigned message, WParam wparam, LParam) override {
    std::lock_guard<std::mutex> lock(discarded_mutex);
    discarded.push_back(std::to_string(message) + ":" + std::to_string(wparam));
  }
  void OnCommand(int control) override {
    seen.push_back("cmd" + std::to_string(control));
    if (on_command) on_command(*this, control);
  }
  void OnTimer(int id) override {
    seen.push_back("timer" + std::to_string(id));
    if (++timer_hits_ == 3) {
      KillTimer(id);
      EndDialog(9);
    }
  }

 private:
  int timer_hits_ = 0;
};

class DialogTest : public testing::Test {
 protected:
  std::unique_ptr<ScriptFrontend> MakeFrontend(const std::string& answers = "",
                                               const std::string& clicks = "") {
    ScriptConfig c;
    c.transcript_file = dir_ / "t.jsonl";
    if (!answers.empty()) {
      dir_.Write("answers", answers);
      c.answers_file = dir_ / "answers";
    }
    if (!clicks.empty()) {
      dir_.Write("clicks", clicks);
      c.clicks_file = dir_ / "clicks";
    }
    return std::make_unique<ScriptFrontend>(c);
  }
  kestra::test::TempDir dir_;
};

TEST_F(DialogTest, PostsFromWorkersArriveInOrderOnTheUiThread) {
  auto frontend = MakeFrontend();
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  std::thread worker;
  dialog.on_init = [&](RecordingDialog& d) {
    worker = std::thread([&d] {
      for (int i = 0; i < 50; ++i) d.Post(kAppend, static_cast<WParam>(i));
      d.Post(kEnd, 4);
    });
  };
  EXPECT_EQ(dialog.RunModal(), 4);
  worker.join();
  ASSERT_EQ(dialog.seen.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(dialog.seen[static_cast<std::size_t>(i)], "m" + std::to_string(i));
  EXPECT_EQ(dialog.handler_thread, std::this_thread::get_id());
}

TEST_F(DialogTest, SendWaitsForTheHandlerAndReturnsItsResult) {
  auto frontend = MakeFrontend();
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  std::atomic<LResult> result{0};
  std::thread worker;
  dialog.on_init = [&](RecordingDialog& d) {
    EXPECT_EQ(d.Send(kDouble, 0, 4), 8);  // on the UI thread: at once
    worker = std::thread([&] {
      result = d.Send(kDouble, 0, 21);
      d.Post(kEnd, 0);
    });
  };
  dialog.RunModal();
  worker.join();
  EXPECT_EQ(result.load(), 42);
}

TEST_F(DialogTest, AfterTheEndNothingReachesTheDialog) {
  auto frontend = MakeFrontend("Yes\n");
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  dialog.on_init = [](RecordingDialog& d) { d.Post(kEnd, 1); };
  dialog.RunModal();
  dialog.Post(kAppend, 1);
  EXPECT_EQ(dialog.Send(kDouble, 0, 5), 0);
  // A worker's box after the end is not shown and takes its default answer.
  Answer answer = Answer::Yes;
  std::thread([&] { answer = dialog.MessageBox("late", "c", Buttons::YesNo, Icon::None); }).join();
  EXPECT_EQ(answer, Answer::No);
  EXPECT_TRUE(dialog.seen.empty());
  EXPECT_EQ(dir_.Read("t.jsonl").find("late"), std::string::npos);
}

TEST_F(DialogTest, MessagesThatNeverRunAreHandedBackForCleanUp) {
  auto frontend = MakeFrontend();
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  dialog.on_init = [](RecordingDialog& d) {
    // Queued behind the end: never handled.
    d.Post(kEnd, 0);
    d.Post(kAppend, 1);
  };
  dialog.RunModal();
  dialog.Post(kAppend, 2);                                    // after the end
  std::thread([&] { dialog.Send(kDouble, 3, 1); }).join();  // sent after the end
  EXPECT_TRUE(dialog.seen.empty());
  EXPECT_EQ(dialog.discarded, (std::vector<std::string>{"5000:1", "5000:2", "5002:3"}));
}

TEST_F(DialogTest, MessageBoxFromAWorkerIsAskedOnTheUiThread) {
  auto frontend = MakeFrontend("Retry\n");
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  std::thread worker;
  Answer answer = Answer::OK;
  dialog.on_init = [&](RecordingDialog& d) {
    worker = std::thread([&] {
      answer = d.MessageBox("文件被占用", "错误", Buttons::RetryCancel, Icon::Warning);
      d.Post(kEnd, 0);
    });
  };
  dialog.RunModal();
  worker.join();
  EXPECT_EQ(answer, Answer::Retry);
  EXPECT_NE(dir_.Read("t.jsonl").find("\"buttons\":\"RetryCancel\",\"icon\":\"warning\",\"answer\":\"Retry\""),
            std::string::npos);
}

TEST_F(DialogTest, TimersFireUntilKilled) {
  auto frontend = MakeFrontend();
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  dialog.on_init = [](RecordingDialog& d) { d.SetTimer(2, 1); };
  EXPECT_EQ(dialog.RunModal(), 9);
  EXPECT_EQ(dialog.seen, (std::vector<std::string>{"timer2", "timer2", "timer2"}));
  std::string t = dir_.Read("t.jsonl");
  EXPECT_NE(t.find("{\"event\":\"timer\",\"id\":2,\"period_ms\":1}"), std::string::npos) << t;
  EXPECT_NE(t.find("{\"event\":\"timer\",\"id\":2,\"killed\":true}"), std::string::npos) << t;
}

TEST_F(DialogTest, ClicksArePlayedOnTimeAndIgnoredOnHiddenOrDisabledControls) {
  // The first press hides the button, so the second is ignored; a press on
  // the disabled progress bar is ignored too.
  auto frontend = MakeFrontend("", "0 20\n20 20\n25 30\n");
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  dialog.on_command = [](RecordingDialog& d, int control) { d.SetVisible(control, false); };
  dialog.on_init = [](RecordingDialog& d) {
    d.SetEnabled(30, false);
    d.SetTimer(7, 15);  // ends the dialog at its third tick, after the clicks
  };
  dialog.RunModal();
  EXPECT_EQ(dialog.seen, (std::vector<std::string>{"cmd20", "timer7", "timer7", "timer7"}));
  std::string t = dir_.Read("t.jsonl");
  std::size_t first = t.find("{\"event\":\"click\",\"control\":20,\"ignored\":false}");
  std::size_t second = t.find("{\"event\":\"click\",\"control\":20,\"ignored\":true}");
  std::size_t third = t.find("{\"event\":\"click\",\"control\":30,\"ignored\":true}");
  EXPECT_NE(first, std::string::npos) << t;
  EXPECT_NE(second, std::string::npos) << t;
  EXPECT_NE(third, std::string::npos) << t;
  EXPECT_LT(first, second);
}

TEST_F(DialogTest, ControlStateAndEvents) {
  auto frontend = MakeFrontend();
  RecordingDialog dialog(SmallTemplate(), frontend.get());
  dialog.on_init = [](RecordingDialog& d) {
    d.SetTitle("《Vandor》更新");
    d.SetText(10, "更新进度");
    d.SetProgress(30, 150);
    d.SetVisible(20, false);
    d.Click(20);
    d.SetText(999, "no such control");
    d.EndDialog(1);
  };
  dialog.RunModal();
  EXPECT_EQ(dialog.Text(10), "更新进度");
  EXPECT_EQ(dialog.Progress(30), 100);
  EXPECT_FALSE(dialog.IsVisible(20));
  EXPECT_TRUE(dialog.seen.empty());  // the hidden button did nothing
  EXPECT_EQ(dir_.Read("t.jsonl"),
            "{\"event\":\"title\",\"text\":\"\xE3\x80\x8AVandor\xE3\x80\x8B\xE6\x9B\xB4\xE6\x96\xB0\"}\n"
            "{\"event\":\"text\",\"control\":10,\"text\":\"\xE6\x9B\xB4\xE6\x96\xB0\xE8\xBF\x9B\xE5\xBA\xA6\"}\n"
            "{\"event\":\"progress\",\"control\":30,\"value\":100}\n"
            "{\"event\":\"visible\",\"control\":20,\"visible\":false}\n"
            "{\"event\":\"click\",\"control\":20,\"ignored\":true}\n"
            "{\"event\":\"end\",\"result\":1}\n");
}

}  // namespace
