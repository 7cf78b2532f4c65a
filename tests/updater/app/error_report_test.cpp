#include "updater/app/error_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/updater/app/dialog_harness.h"
#include "updater/config/endpoints.h"
#include "updater/ui/dialog.h"
#include "tests/support/wait_until.h"

namespace kestra::app {
namespace {

using test::Joined;

TEST(UpdateErrorTextTest, BuildsTheNumberedMessage) {
  EXPECT_EQ(UpdateErrorText(12, "下载patch1.0.6.tq失败"),
            "下载patch1.0.6.tq失败\n\n编号：12\n疑为：网络错误\n请您：检查网络连接是否正常\n"
            "是否访问Vand客服专区查看详细帮助信息？");
  EXPECT_EQ(UpdateErrorText(21, "恢复备份文件失败"),
            "恢复备份文件失败\n\n编号：21\n疑为：Vandor正在运行\n请您：退出已运行的Vandor客户端后再尝试更新\n"
            "是否访问Vand客服专区查看详细帮助信息？");
}

TEST(UpdateErrorTextTest, UnknownNumberAndOverlongTextStayWithinTheBuffer) {
  EXPECT_EQ(UpdateErrorText(99, "x"), "x\n\n编号：99\n疑为：\n请您：\n是否访问Vand客服专区查看详细帮助信息？");
  std::string text = UpdateErrorText(11, std::string(5000, 'a'));
  EXPECT_EQ(text.size(), kErrorTextBuffer - 1);
  EXPECT_EQ(text, std::string(kErrorTextBuffer - 1, 'a'));
  for (int n : {11, 12, 21, 22, 23}) EXPECT_NE(FindUpdateError(n), nullptr) << n;
  EXPECT_EQ(FindUpdateError(13), nullptr);
}

class ErrorBoxTest : public ::testing::Test {
 protected:
  void UseScript(const std::string& answers) {
    previous_ = ui::SetFrontend(install_.Frontend(answers));
  }
  void TearDown() override {
    if (previous_) ui::SetFrontend(std::move(previous_));
  }
  test::ScriptedInstall install_;
  std::unique_ptr<ui::Frontend> previous_;
};

TEST_F(ErrorBoxTest, OkOpensTheHelpPageAndCancelOpensNothing) {
  struct Case {
    const char* answer;
    bool opens;
  };
  for (const Case& c : {Case{"OK", true}, Case{"Cancel", false}}) {
    SCOPED_TRACE(c.answer);
    UseScript(std::string(c.answer) + "\n");
    std::vector<std::string> opened;
    ShowUpdateError(12, "下载patch1.0.6.tq失败", [&](std::string_view url) {
      opened.emplace_back(url);
      return 42;
    });
    std::vector<std::string> expected = {
        std::string(R"({"event":"messagebox","caption":"Vandor更新失败","text":"下载patch1.0.6.tq失败\n\n编号：12\n疑为：网络错误\n请您：检查网络连接是否正常\n是否访问Vand客服专区查看详细帮助信息？","buttons":"OKCancel","icon":"none","answer":")") +
        c.answer + R"("})"};
    std::string help = config::endpoints::HelpPageUrl();
    if (c.opens) expected.push_back(R"({"event":"open_url","url":")" + help + R"("})");
    EXPECT_EQ(Joined(install_.Transcript()), Joined(expected));
    EXPECT_EQ(Joined(opened), c.opens ? help + "\n" : "");
    EXPECT_NE(help.find("/res/guide/paper/8036.html"), std::string::npos);
  }
}

// A dialog whose set-up makes the repair offer and ends.
class RepairDialog : public ui::Dialog {
 public:
  RepairDialog(ui::Frontend* frontend, ProgramStarter start)
      : ui::Dialog(ui::DialogTemplate{}, frontend), start_(std::move(start)) {}

 protected:
  void OnInitDialog() override {
    OfferRepair(*this, start_);
    EndDialog(1);
  }

 private:
  ProgramStarter start_;
};

class RepairTest : public ::testing::Test {
 protected:
  RepairTest() : previous_dir_(std::filesystem::current_path()) {}
  ~RepairTest() override { std::filesystem::current_path(previous_dir_); }

  // Runs the offer from directory with the real starter (or the given one).
  std::vector<std::string> Offer(const std::string& directory, const std::string& answers,
                                 ProgramStarter start = {}) {
    std::filesystem::create_directories(directory);
    std::filesystem::current_path(directory);
    std::unique_ptr<ui::Frontend> frontend = install_.Frontend(answers);
    RepairDialog dialog(frontend.get(), std::move(start));
    dialog.RunModal();
    return install_.Transcript();
  }

  // A stand-in repair tool that records its arguments and directory.
  void WriteRepairTool(const std::string& directory) {
    std::string path = directory + "/VdRepair.exe";
    ASSERT_TRUE(platform::fs::WriteWholeFile(
        path, "#!/bin/sh\n{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; pwd; } > \"" + record_ +
                  ".tmp\"\nmv \"" + record_ + ".tmp\" \"" + record_ + "\"\n"));
    ASSERT_TRUE(platform::fs::SetExecutable(path));
  }

  std::string Record() {
    kestra::test::WaitUntil([&] { return install_.dir().Exists("record.txt"); });
    return install_.dir().Read("record.txt");
  }

  test::ScriptedInstall install_;
  std::string record_ = install_.dir() / "record.txt";
  std::filesystem::path previous_dir_;
};

const std::string kQuestion =
    R"({"event":"messagebox","caption":"提示","text":"更新过程发生错误，是否启动客户端修复工具进行修复？","buttons":"YesNo","icon":"none","answer":")";
const std::string kFailed =
    R"({"event":"messagebox","caption":"错误","text":"启动修复工具失败","buttons":"OK","icon":"error","answer":"OK"})";
const std::string kEnd = R"({"event":"end","result":1})";

TEST_F(RepairTest, YesStartsTheToolInQuickModeFromTheCurrentDirectory) {
  std::string game = install_.dir() / "game";
  std::filesystem::create_directories(game);
  WriteRepairTool(game);
  std::vector<std::string> lines = Offer(game, "Yes\n");
  EXPECT_EQ(Joined(lines), Joined({kQuestion + R"(Yes"})", kEnd}));
  std::string current = platform::fs::CurrentDirectory();
  EXPECT_EQ(Record(), "2\n__quick_repair_mode__\n" + current + "\n" + current + "\n");
}

TEST_F(RepairTest, DirectoryWithBlanksArrivesAsSeveralWords) {
  std::string game = install_.dir() / "my game";
  std::filesystem::create_directories(game);
  WriteRepairTool(game);
  Offer(game, "Yes\n");
  std::string current = platform::fs::CurrentDirectory();
  std::string first = current.substr(0, current.rfind(' '));
  EXPECT_EQ(Record(), "3\n__quick_repair_mode__\n" + first + "\ngame\n" + current + "\n");
}

TEST_F(RepairTest, NoStartsNothing) {
  std::string game = install_.dir() / "game";
  std::filesystem::create_directories(game);
  WriteRepairTool(game);
  bool called = false;
  std::vector<std::string> lines = Offer(game, "No\n", [&](auto, auto, auto) { return called = true; });
  EXPECT_EQ(Joined(lines), Joined({kQuestion + R"(No"})", kEnd}));
  EXPECT_FALSE(called);
}

TEST_F(RepairTest, MissingToolIsReported) {
  std::vector<std::string> lines = Offer(install_.dir() / "empty", "Yes\n");
  EXPECT_EQ(Joined(lines), Joined({kQuestion + R"(Yes"})", kFailed, kEnd}));
}

TEST_F(RepairTest, DirectoryTooLongForTheCommandLineIsRefused) {
  std::string deep = install_.dir().path();
  while (deep.size() <= kMaxRepairDirectory) deep += "/" + std::string(40, 'd');
  bool called = false;
  std::vector<std::string> lines = Offer(deep, "Yes\n", [&](auto, auto, auto) { return called = true; });
  EXPECT_EQ(Joined(lines), Joined({kQuestion + R"(Yes"})", kFailed, kEnd}));
  EXPECT_FALSE(called);
  EXPECT_EQ(RepairCommandLine(std::string(kMaxRepairDirectory, 'x')).size(),
            std::string("VdRepair.exe __quick_repair_mode__ ").size() + kMaxRepairDirectory);
}

}  // namespace
}  // namespace kestra::app
