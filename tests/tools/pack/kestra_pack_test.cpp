// The release tool as the engineers run it: make, list and apply.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "platform/charset.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"
#include "tools/pack/package_builder.h"
#include "updater/ui/transcript.h"

namespace kestra::pack {
namespace {

const std::string kTool = std::string(KESTRA_BIN_DIR) + "/kestra-pack";

struct ToolRun {
  int code = -1;
  std::string out, err;
};

ToolRun Execute(const kestra::test::TempDir& dir, const std::string& command) {
  const std::string line = "cd '" + dir.path() + "' && " + command +
                           " >run.out 2>run.err; echo $? >run.rc";
  EXPECT_EQ(std::system(line.c_str()), 0) << line;
  ToolRun run;
  run.code = std::atoi(dir.Read("run.rc").c_str());
  run.out = dir.Read("run.out");
  run.err = dir.Read("run.err");
  return run;
}

std::string Random(std::mt19937& rng, std::size_t size) {
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>('a' + rng() % 7);
  return s;
}

void ExpectSameTree(const std::string& a, const std::string& b) {
  std::vector<std::string> left, right;
  ASSERT_TRUE(ListTree(a, left));
  ASSERT_TRUE(ListTree(b, right));
  EXPECT_EQ(left, right);
  for (const std::string& name : left) {
    std::string x, y;
    platform::fs::ReadWholeFile(a + "/" + name, x);
    platform::fs::ReadWholeFile(b + "/" + name, y);
    EXPECT_TRUE(x == y) << name;
  }
}

class KestraPackTest : public ::testing::Test {
 protected:
  // An installation at 1.0.0 and its 1.0.1 successor.
  void MakeTrees() {
    std::mt19937 rng(11);
    const std::string archive = Random(rng, 300000);
    std::string archive2 = archive;
    for (int i = 0; i < 50; ++i) archive2[rng() % archive2.size()] = 'Z';
    dir_.Write("old/update.ini", "[Setting]\r\nVersion=1.0.0\r\n");
    dir_.Write("new/update.ini", "[Setting]\r\nVersion=1.0.1\r\n");
    dir_.Write("old/res.ini", "[Setting]\r\nVersion=1.0.0");
    dir_.Write("new/res.ini", "[Setting]\r\nVersion=1.0.0");
    dir_.Write("old/hdres/res.ini", "[Setting]\r\nVersion=1.0.0");
    dir_.Write("new/hdres/res.ini", "[Setting]\r\nVersion=1.0.0");
    dir_.Write("old/data/world.rz1", archive);
    dir_.Write("new/data/world.rz1", archive2);
    dir_.Write("old/hdres/tex.npk", archive.substr(0, 1000));
    dir_.Write("new/hdres/tex.npk", archive2.substr(0, 2000));
    dir_.Write("old/vd.exe", Random(rng, 5000));
    dir_.Write("new/vd.exe", Random(rng, 4000));
    dir_.Write("old/obsolete.txt", "bye");
    dir_.Write("old/\xC4\xE3\xBA\xC3.txt", "gbk name");
    dir_.Write("new/\xC4\xE3\xBA\xC3.txt", "gbk name, changed");
    dir_.Write("old/old place.dat", "moving along");
    dir_.Write("new/saved/old place.dat", "moving along");
    dir_.Write("new/deep/er/tree/file.txt", "new");
    dir_.Write("moves.txt", "old place.dat >> saved\n");
  }

  kestra::test::TempDir dir_;
};

TEST_F(KestraPackTest, MadePackageAppliedToACopyGivesTheNewTree) {
  MakeTrees();
  ToolRun made = Execute(dir_, kTool + " make --old old --new new --version 1.0.1 --move-list moves.txt");
  ASSERT_EQ(made.code, 0) << made.err;
  ASSERT_TRUE(dir_.Exists("patch1.0.1.tq"));  // named like the updater names packages
  ASSERT_EQ(std::system(("cp -a '" + (dir_ / "old") + "' '" + (dir_ / "inst") + "'").c_str()), 0);

  ToolRun applied = Execute(dir_, "KESTRA_UI=script " + kTool +
                                  " apply --root inst --flags 3 --log-dir logs --version 1.0.1 "
                                  "patch1.0.1.tq");
  ASSERT_EQ(applied.code, 0) << applied.err;
  ExpectSameTree(dir_ / "inst", dir_ / "new");
}

TEST_F(KestraPackTest, MicroNameMagicAndOutput) {
  MakeTrees();
  ToolRun made = Execute(dir_, kTool + " make --old old --new new --version 2.5.301 --micro 3 "
                                   "--magic ZB1T --move-list moves.txt");
  ASSERT_EQ(made.code, 0) << made.err;
  EXPECT_EQ(dir_.Read("patch2.5.301.tq.3").substr(0, 8), "ZB1T\x2D\x01\x05\x02");
  made = Execute(dir_, kTool + " make --old old --new new --version 1.0.1 -o custom.bin");
  ASSERT_EQ(made.code, 0) << made.err;
  EXPECT_TRUE(dir_.Exists("custom.bin"));
  EXPECT_NE(Execute(dir_, kTool + " make --old old --new new --version 1.0.1 --magic AB1T").code, 0);
  EXPECT_NE(Execute(dir_, kTool + " make --old old --new new --version x").code, 0);
  EXPECT_NE(Execute(dir_, kTool + " make --old nothere --new new --version 1.0.1").code, 0);
}

TEST_F(KestraPackTest, ListPrintsOneLinePerSection) {
  patch::test::WritePackage(dir_ / "p.tq", 0x01000001,
                            patch::test::Addf("a.txt", "abc") +
                                patch::test::Modi("b.bin", 9, patch::test::Record(1, "x")) +
                                patch::test::Section(0x11223344, 0, "odd", "") +
                                patch::test::kTrailer4);
  ToolRun listed = Execute(dir_, kTool + " list --version 1.0.1 p.tq");
  EXPECT_EQ(listed.code, 0) << listed.err;
  EXPECT_EQ(listed.out, "ADDF\ta.txt\t3\nMODI\tb.bin\t9\n0x11223344\todd\t0\n");

  ToolRun wrong = Execute(dir_, kTool + " list --version 1.0.2 p.tq");
  EXPECT_EQ(wrong.code, 1);
  EXPECT_EQ(wrong.err, platform::charset::GbkToUtf8("p.tq 版本号不正确!") + "\n");

  // Without a trailer: the sections, then the reader's message.
  patch::test::WritePackage(dir_ / "cut.tq", 0x01000001, patch::test::Addf("a.txt", "abc"));
  ToolRun cut = Execute(dir_, kTool + " list --version 1.0.1 cut.tq");
  EXPECT_EQ(cut.code, 1);
  EXPECT_EQ(cut.out, "ADDF\ta.txt\t3\n");
  EXPECT_EQ(cut.err, platform::charset::GbkToUtf8("读取UpdateSec头出错") + "\n");

  ToolRun missing = Execute(dir_, kTool + " list --version 1.0.1 none.tq");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("none.tq"), std::string::npos);
}

// A FIFO in place of a file the tool reads (the package, the move list, a
// file of the new tree) is refused as unreadable instead of blocking the
// tool for ever in its open.
TEST_F(KestraPackTest, FifoInPlaceOfAnInputIsRefused) {
  MakeTrees();
  auto fifo = [&](const std::string& relative) {
    ASSERT_EQ(std::system(("mkfifo '" + (dir_ / relative) + "'").c_str()), 0) << relative;
  };
  fifo("fifo.tq");
  ToolRun listed = Execute(dir_, kTool + " list --version 1.0.1 fifo.tq");
  EXPECT_EQ(listed.code, 1);
  EXPECT_NE(listed.err.find("fifo.tq"), std::string::npos) << listed.err;

  fifo("fifo-moves.txt");
  ToolRun moved = Execute(dir_, kTool + " make --old old --new new --version 1.0.1 --move-list fifo-moves.txt");
  EXPECT_NE(moved.code, 0);
  EXPECT_FALSE(dir_.Exists("patch1.0.1.tq"));

  fifo("new/data/pipe.dat");
  ToolRun made = Execute(dir_, kTool + " make --old old --new new --version 1.0.1");
  EXPECT_NE(made.code, 0);
  EXPECT_NE(made.err.find("pipe.dat"), std::string::npos) << made.err;
}

TEST_F(KestraPackTest, ApplyAnswersItsBoxesThroughTheScriptFrontend) {
  dir_.Write("inst/update.ini", "[Setting]\r\nVersion=1.0.0\r\n");
  patch::test::WritePackage(dir_ / "p.tq", 0x01000001,
                            patch::test::Modi("missing.bin", 4, patch::test::Record(0, "ab")) +
                                patch::test::kTrailer4);
  dir_.Write("answers", "Cancel\n");
  ToolRun run = Execute(dir_, "KESTRA_UI=script KESTRA_UI_ANSWERS=answers KESTRA_UI_TRANSCRIPT=t.jsonl " +
                              kTool + " apply --root inst --flags 0 --log-dir logs --version 1.0.1 p.tq");
  EXPECT_EQ(run.code, 1);
  const std::string transcript = dir_.Read("t.jsonl");
  EXPECT_NE(transcript.find("RetryCancel"), std::string::npos);
  EXPECT_NE(transcript.find(ui::Transcript::Quote("更新中发生错误!")), std::string::npos);

  // A package for another version: the reader's message, exit 1.
  run = Execute(dir_, "KESTRA_UI=script KESTRA_UI_TRANSCRIPT=t2.jsonl " + kTool +
                          " apply --root inst --flags 0 --log-dir logs --version 1.0.2 p.tq");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(dir_.Read("t2.jsonl").find(ui::Transcript::Quote("p.tq 版本号不正确!")),
            std::string::npos);
}

TEST_F(KestraPackTest, ApplyReadsTheMicroStateFromTheInstallation) {
  // Same version as installed, micro argument 0: common resources are kept.
  dir_.Write("inst/update.ini", "[Setting]\r\nVersion=1.0.1\r\nSubVersion=0\r\n");
  patch::test::WritePackage(dir_ / "p.tq", 0x01000001,
                            patch::test::Addf("vd.exe", "client") +
                                patch::test::Addf("common/ui.rz1", "common") +
                                patch::test::kTrailer4);
  ToolRun run = Execute(dir_, "KESTRA_UI=script " + kTool +
                              " apply --root inst --micro 0 --flags 0 --log-dir logs --version 1.0.1 p.tq");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(dir_.Exists("inst/vd.exe"));
  EXPECT_FALSE(dir_.Exists("inst/common/ui.rz1"));
  run = Execute(dir_, "KESTRA_UI=script " + kTool +
                          " apply --root inst --flags 0 --log-dir logs --version 1.0.1 p.tq");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(dir_.Exists("inst/common/ui.rz1"));  // micro argument absent (-1)
}

}  // namespace
}  // namespace kestra::pack
