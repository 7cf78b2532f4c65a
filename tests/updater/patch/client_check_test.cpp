#include "updater/patch/client_check.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"
#include "updater/config/update_context.h"
#include "updater/log/log.h"
#include "updater/ui/dialog.h"
#include "updater/ui/script_frontend.h"

namespace {

using namespace kestra::patch;

TEST(IsPathInside, Table) {
  struct {
    const char* path;
    const char* dir;
    bool inside;
  } cases[] = {
      {"d:\\game\\vd.exe", "D:\\Game/", true},
      {"D:\\GAME\\bin\\x.exe", "D:\\Game/", true},
      {"D:\\Game2\\vd.exe", "D:\\Game/", false},
      {"/opt/game/vd.exe", "/opt/game/", true},
      {"/opt/game/vd.exe", "/opt/game", true},
      {"/opt/game//vd.exe", "/opt/game//", true},  // a doubled end separator counts once
      {"/opt/gamex/vd.exe", "/opt/game", false},
      {"/opt/vd.exe", "/opt/game/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPathInside(c.path, c.dir), c.inside) << c.path << " in " << c.dir;
}

TEST(ResourceSets, FolderOfEachIndex) {
  EXPECT_EQ(ResourceSetFolder(0), "");
  EXPECT_EQ(ResourceSetFolder(1), "hdres");
  EXPECT_EQ(ResourceSetFolder(7), "");
}

TEST(ResourceSets, ProbeDecidesEachSetOnItsOwn) {
  kestra::test::TempDir dir;
  const int indices[5] = {0, 3, 3, 20, 9};
  EXPECT_EQ(CheckResourceSetsWith(dir.path(), indices), 0u);
  for (int i : indices) dir.Write(kResourceArchives[i], "PAZR");
  EXPECT_EQ(CheckResourceSetsWith(dir.path(), indices), 1u);  // no hdres folder
  for (int i : indices) dir.Write(std::string("hdres/") + kResourceArchives[i], "PAZR");
  EXPECT_EQ(CheckResourceSetsWith(dir.path(), indices), 3u);
  platform::fs::RemoveFile(dir / kResourceArchives[20]);
  EXPECT_EQ(CheckResourceSetsWith(dir.path(), indices), 2u);  // base set lacks one
  // Every name is a real table entry: the random probe finds a full set.
  for (int i = 0; i < kResourceArchiveCount; ++i) dir.Write(kResourceArchives[i], "PAZR");
  EXPECT_EQ(CheckResourceSets(dir.path()) & 1u, 1u);
}

class RunningClient : public testing::Test {
 protected:
  pid_t StartCopy(const std::string& name) {
    std::string program = dir_ / name;
    if (!platform::fs::Exists(program)) platform::fs::CopyFile("/bin/sleep", program, false);
    auto pid = platform::process::Start({program, "30"});
    EXPECT_TRUE(pid.has_value());
    pids_.push_back(*pid);
    return *pid;
  }
  void TearDown() override {
    for (auto pid : pids_) {
      platform::process::Kill(pid);
      platform::process::Wait(pid, 5000);
    }
  }
  kestra::test::TempDir dir_;
  std::vector<pid_t> pids_;
};

TEST_F(RunningClient, FindsProgramsOfTheInstallationOnlyAndListsEachInstance) {
  std::vector<std::string> names;
  EXPECT_FALSE(FindClientPrograms(dir_.path() + "/", names));
  StartCopy("vd.exe");
  StartCopy("vd.exe");
  EXPECT_TRUE(FindClientPrograms(dir_.path() + "/", names));
  EXPECT_EQ(names, (std::vector<std::string>{"vd.exe", "vd.exe"}));
  kestra::test::TempDir elsewhere;
  EXPECT_FALSE(FindClientPrograms(elsewhere.path() + "/", names));
}

TEST_F(RunningClient, AProgramThatEndsDuringTheQuietChecksNeedsNoBox) {
  pid_t pid = StartCopy("vd.exe");
  kestra::ui::ScriptConfig config;
  config.transcript_file = dir_ / "t.jsonl";
  auto old = kestra::ui::SetFrontend(kestra::ui::MakeScriptFrontend(config));
  kestra::MutableContext().install_root = dir_.path() + "/";
  kestra::patch::ClientWaitOptions options;
  options.wait_ms = 50;
  int checks = 0;
  options.find = [&](std::vector<std::string>& names) {
    if (++checks == 3) {
      platform::process::Kill(pid);
      platform::process::Wait(pid, 5000);
    }
    return FindClientPrograms(kestra::Context().install_root, names);
  };
  EXPECT_TRUE(WaitForClientPrograms(nullptr, options));
  EXPECT_EQ(dir_.Read("t.jsonl"), "");
  kestra::ui::SetFrontend(std::move(old));
}

struct BoxCase {
  const char* answers;
  bool expected;
  int boxes;
};

TEST(ClientWait, RetryAndCancelBoxes) {
  const BoxCase cases[] = {
      {"Cancel\n", false, 1},
      {"Retry\nCancel\n", false, 2},
      {"Retry\n", true, 1},  // gone at the retry
  };
  for (const auto& c : cases) {
    kestra::test::TempDir dir;
    dir.Write("answers", c.answers);
    kestra::ui::ScriptConfig config;
    config.answers_file = dir / "answers";
    config.transcript_file = dir / "t.jsonl";
    auto old = kestra::ui::SetFrontend(kestra::ui::MakeScriptFrontend(config));
    kestra::log::CloseAll();
    kestra::log::SetLogBaseDir(dir.path() + "/");
    kestra::log::OpenChannel(0, "kestra.log", "KestraTool");

    int calls = 0;
    kestra::patch::ClientWaitOptions options;
    options.wait_ms = 1;
    options.quiet_checks = 2;
    // Running for the first check, the two quiet checks and the first box;
    // "gone at the retry" means the check after the first Retry finds none.
    options.find = [&](std::vector<std::string>& names) {
      ++calls;
      names = {"vd.exe", "vd.exe"};
      if (c.expected && calls >= 4) names.clear();
      return !names.empty();
    };
    EXPECT_EQ(WaitForClientPrograms(nullptr, options), c.expected) << c.answers;
    kestra::log::CloseAll();
    std::string transcript = dir.Read("t.jsonl");
    int boxes = 0;
    for (std::size_t pos = 0; (pos = transcript.find("\"messagebox\"", pos)) != std::string::npos; ++pos) ++boxes;
    EXPECT_EQ(boxes, c.boxes) << c.answers;
    EXPECT_NE(transcript.find("\\n\\nvd.exe\\nvd.exe\""), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("\"buttons\":\"RetryCancel\""), std::string::npos);
    std::string log = dir.Read("Log/kestra.log");
    EXPECT_EQ(log.find("[ERROR]") != std::string::npos, !c.expected) << log;
    kestra::ui::SetFrontend(std::move(old));
  }
}

}  // namespace
