#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/fs.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace platform::process;

TEST(Process, StartAndWaitGivesTheExitCode) {
  auto pid = Start({"/bin/sh", "-c", "exit 7"});
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(Wait(*pid, 5000).value_or(-1), 7);
}

TEST(Process, ExitedChildIsNotAliveEvenBeforeItIsWaitedFor) {
  auto pid = Start({"/bin/true"});
  ASSERT_TRUE(pid.has_value());
  // The child turns into a zombie; IsAlive reaps it and says no.
  auto deadline_spins = 0;
  while (IsAlive(*pid) && deadline_spins++ < 1000) Wait(*pid, 5);
  EXPECT_FALSE(IsAlive(*pid));
}

TEST(Process, WaitTimesOutWhileTheChildRuns) {
  auto pid = Start({"/bin/sleep", "5"});
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(IsAlive(*pid));
  EXPECT_FALSE(Wait(*pid, 50).has_value());
  EXPECT_TRUE(Kill(*pid));
  EXPECT_EQ(Wait(*pid, 5000).value_or(-1), 128 + 9);
}

TEST(Process, StartFailsForAMissingProgram) {
  EXPECT_FALSE(Start({"/nonexistent/program"}).has_value());
}

TEST(Process, ListNamesProgramsWithTheirPaths) {
  kestra::test::TempDir dir;
  ASSERT_TRUE(platform::fs::CopyFile("/bin/sleep", dir / "vd.exe", false));
  auto pid = Start({dir / "vd.exe", "5"});
  ASSERT_TRUE(pid.has_value());
  auto list = ListProcesses();
  auto it = std::find_if(list.begin(), list.end(), [&](const ProcessInfo& p) { return p.pid == *pid; });
  ASSERT_NE(it, list.end());
  EXPECT_EQ(it->exe_name, "vd.exe");
  EXPECT_EQ(it->exe_path, dir / "vd.exe");
  Kill(*pid);
  Wait(*pid, 5000);
}

TEST(Process, WorkingDirectoryIsApplied) {
  kestra::test::TempDir dir;
  StartOptions options;
  options.working_directory = dir.path();
  auto pid = Start({"/bin/sh", "-c", "echo here > marker"}, options);
  ASSERT_TRUE(pid.has_value());
  EXPECT_EQ(Wait(*pid, 5000).value_or(-1), 0);
  EXPECT_EQ(dir.Read("marker"), "here\n");
}

TEST(Process, SplitCommandLine) {
  EXPECT_EQ(SplitCommandLine("a b  \"c d\" e\"f g\""),
            (std::vector<std::string>{"a", "b", "c d", "ef g"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
}

}  // namespace
