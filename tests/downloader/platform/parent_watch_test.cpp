#include "platform/parent_watch.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "tests/downloader/platform/probe_support.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using kestra::test::TempDir;

// Starts the probe below a shell that then becomes "sleep": the probe's
// parent is a process of ours that we can end. Returns the parent's id.
std::optional<int> StartBelowParent(const std::string& mode, const TempDir& dir) {
  std::string script = std::string("'") + PLATFORM_PROBE + "' " + mode + " '" + dir.path() +
                       "' & exec sleep 600";
  return platform::process::Start({"/bin/sh", "-c", script});
}

TEST(ParentWatchTest, TheProcessEndsWhenItsParentEnds) {
  TempDir dir;
  auto parent = StartBelowParent("watch", dir);
  ASSERT_TRUE(parent);
  ASSERT_EQ(test::WaitForFile(dir, "watching"), std::optional<std::string>("1"));
  EXPECT_EQ(dir.Read("ppid"), std::to_string(*parent));
  int probe = std::stoi(dir.Read("pid"));
  EXPECT_FALSE(test::Ended(probe));
  ASSERT_TRUE(platform::process::Kill(*parent));
  platform::process::Wait(*parent, 10000);
  EXPECT_TRUE(test::WaitEnded(probe));
  EXPECT_FALSE(dir.Exists("survived"));  // ended by the watcher, not by itself
}

TEST(ParentWatchTest, AStoppedWatchLetsTheProcessLiveOn) {
  TempDir dir;
  auto parent = StartBelowParent("watch-stopped", dir);
  ASSERT_TRUE(parent);
  ASSERT_EQ(test::WaitForFile(dir, "watching"), std::optional<std::string>("1"));
  ASSERT_TRUE(platform::process::Kill(*parent));
  platform::process::Wait(*parent, 10000);
  EXPECT_EQ(test::WaitForFile(dir, "survived"), std::optional<std::string>("1"));
}

TEST(ParentWatchTest, AnOrphanHasNoParentToWatch) {
  TempDir dir;
  // The inner shell starts the probe and ends at once, so that the probe is
  // handed to the init process.
  std::string script = std::string("('") + PLATFORM_PROBE + "' watch '" + dir.path() + "' &)";
  auto shell = platform::process::Start({"/bin/sh", "-c", script});
  ASSERT_TRUE(shell);
  platform::process::Wait(*shell, 10000);
  auto watching = test::WaitForFile(dir, "watching");
  ASSERT_TRUE(watching);
  if (dir.Read("ppid") != "1") {
    // Started before its parent had gone, or adopted by a subreaper.
    GTEST_SKIP() << "the probe was not adopted by the init process";
  }
  EXPECT_EQ(*watching, "0");
}

}  // namespace
}  // namespace zelt
