#include "platform/shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using kestra::test::TempDir;

// Replaces an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// A desktop in a temporary directory: stand-ins for xdg-open, xdg-mime and a
// browser on PATH, each appending "name argument..." to one record file.
class StandInDesktop {
 public:
  StandInDesktop()
      : path_(dir_ / "bin"),
        env_path_("PATH", path_ + ":/usr/bin:/bin"),
        env_data_("XDG_DATA_HOME", dir_ / "share"),
        env_dirs_("XDG_DATA_DIRS", dir_ / "none") {
    platform::fs::MakeDirectories(path_);
  }

  void Program(const std::string& name, int exit_code, const std::string& output = "") {
    std::string script = "#!/bin/sh\necho \"" + name + " $*\" >> \"" + record() + "\"\n";
    if (!output.empty()) script += "echo '" + output + "'\n";
    script += "exit " + std::to_string(exit_code) + "\n";
    std::string file = path_ + "/" + name;
    ASSERT_TRUE(platform::fs::WriteWholeFile(file, script));
    ASSERT_TRUE(platform::fs::SetExecutable(file));
  }

  void DesktopEntry(const std::string& name, const std::string& exec) {
    dir_.Write("share/applications/" + name,
               "[Desktop Entry]\nType=Application\nName=Stand-in\nExec=" + exec + "\n");
  }

  std::string record() const { return dir_ / "record.txt"; }

  // The record once it has `lines` lines (bounded wait: started programs run
  // on their own).
  std::vector<std::string> Record(std::size_t lines) const {
    std::vector<std::string> out;
    kestra::test::WaitUntil(
        [&] {
          out.clear();
          std::ifstream in(record());
          std::string line;
          while (std::getline(in, line)) out.push_back(line);
          return out.size() >= lines;
        },
        kestra::test::kDefaultWaitMs, 10);
    return out;
  }

  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string path_;
  ScopedEnv env_path_, env_data_, env_dirs_;
};

const char kUrl[] = "http://127.0.0.1:9/download/patch.html";

TEST(OpenUrlTest, DesktopOpenerComesFirstAndIsEnough) {
  StandInDesktop desktop;
  desktop.Program("xdg-open", 0);
  desktop.Program("xdg-mime", 0, "browser.desktop");
  desktop.Program("browser", 0);
  desktop.DesktopEntry("browser.desktop", desktop.dir() / "bin/browser %u");
  EXPECT_GT(platform::shell::OpenUrl(kUrl), 32);
  std::vector<std::string> record = desktop.Record(1);
  EXPECT_EQ(record, std::vector<std::string>{std::string("xdg-open ") + kUrl});
}

TEST(OpenUrlTest, RegisteredHandlerFollowsAFailedOpener) {
  StandInDesktop desktop;
  desktop.Program("xdg-open", 3);
  desktop.Program("xdg-mime", 0, "browser.desktop");
  desktop.Program("browser", 0);
  desktop.DesktopEntry("browser.desktop", desktop.dir() / "bin/browser --new-window %u");
  EXPECT_GT(platform::shell::OpenUrl(kUrl), 32);
  std::vector<std::string> record = desktop.Record(3);
  std::vector<std::string> expected = {std::string("xdg-open ") + kUrl, "xdg-mime query default text/html",
                                       std::string("browser --new-window ") + kUrl};
  EXPECT_EQ(record, expected);
}

TEST(OpenUrlTest, FailuresReportTheOpenersResult) {
  {
    // Nothing on PATH at all.
    ScopedEnv path("PATH", "/nonexistent");
    EXPECT_EQ(platform::shell::OpenUrl(kUrl), platform::shell::kOpenFileNotFound);
  }
  StandInDesktop desktop;
  desktop.Program("xdg-open", 4);
  desktop.Program("xdg-mime", 1);  // no handler registered
  EXPECT_EQ(platform::shell::OpenUrl(kUrl), platform::shell::kOpenNoAssociation);
  // A handler whose program is missing.
  desktop.Program("xdg-mime", 0, "gone.desktop");
  desktop.DesktopEntry("gone.desktop", desktop.dir() / "bin/not-there %U");
  EXPECT_EQ(platform::shell::OpenUrl(kUrl), platform::shell::kOpenFileNotFound);
  EXPECT_EQ(platform::shell::RegisteredWebHandler(), desktop.dir() / "bin/not-there %U");
}

TEST(OpenUrlTest, HostileHandlerNamesAreRefused) {
  StandInDesktop desktop;
  desktop.Program("xdg-mime", 0, "../../etc/passwd");
  EXPECT_FALSE(platform::shell::RegisteredWebHandler().has_value());
  desktop.Program("xdg-mime", 0, "noexec.desktop");
  desktop.dir().Write("share/applications/noexec.desktop", "[Other]\nExec=/bin/true\n");
  EXPECT_FALSE(platform::shell::RegisteredWebHandler().has_value());
}

TEST(HandlerCommandLineTest, CutsAtTheUrlPlaceholder) {
  struct Case {
    const char* command;
    const char* expected;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\browser.exe\" -nohome \"%1\" -x", "\"C:\\Program Files\\browser.exe\" -nohome  U"},
      {"browser.exe %1", "browser.exe  U"},
      {"browser.exe", "browser.exe U"},
      {"firefox-esr %u", "firefox-esr  U"},
      {"chromium --new-window %U %f", "chromium --new-window  U"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::shell::HandlerCommandLine(c.command, "U"), c.expected) << c.command;
}

TEST(StartDetachedTest, StartsFromTheDirectoryWithoutWaiting) {
  TempDir dir;
  std::string record = dir / "started.txt";
  // The program stays running after we return: we never wait for it.
  ASSERT_TRUE(platform::fs::WriteWholeFile(
      dir / "tool.exe", "#!/bin/sh\n{ pwd; echo \"$@\"; } > \"" + record + ".tmp\"\nmv \"" + record + ".tmp\" \"" +
                           record + "\"\nsleep 2\n"));
  ASSERT_TRUE(platform::fs::SetExecutable(dir / "tool.exe"));
  ASSERT_TRUE(platform::shell::StartDetached("tool.exe", {"tool.exe", "a", "b"}, dir.path()));
  std::string text;
  kestra::test::WaitUntil([&] { return dir.Exists("started.txt"); });
  text = dir.Read("started.txt");
  std::istringstream lines(text);
  std::string cwd, args;
  std::getline(lines, cwd);
  std::getline(lines, args);
  EXPECT_EQ(cwd, dir.path());
  EXPECT_EQ(args, "a b");
}

TEST(StartDetachedTest, MissingOrUnrunnableProgramFails) {
  TempDir dir;
  EXPECT_FALSE(platform::shell::StartDetached("VdRepair.exe", {"VdRepair.exe"}, dir.path()));
  ASSERT_TRUE(platform::fs::WriteWholeFile(dir / "plain.exe", "not a program"));
  EXPECT_FALSE(platform::shell::StartDetached("plain.exe", {"plain.exe"}, dir.path()));
  EXPECT_FALSE(platform::shell::StartDetached("VdRepair.exe", {"VdRepair.exe"}, dir / "missing-dir"));
}

}  // namespace
