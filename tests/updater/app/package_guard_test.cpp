// The copies taken before a package is applied, with packages made by
// kestra-pack in temporary directories.
#include "updater/app/package_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"
#include "updater/config/settings.h"

namespace kestra::app {
namespace {

using test::TempDir;

int RunProgram(const std::vector<std::string>& argv) {
  auto pid = platform::process::Start(argv, {});
  if (!pid) return -1;
  return platform::process::Wait(*pid, 60000).value_or(-1);
}

TEST(PackageGuard, NamesEverythingAPackageTouches) {
  TempDir dir;
  dir.Write("old/res/a.txt", "old a");
  dir.Write("old/res/gone.txt", "to be deleted");
  dir.Write("old/bin/same.dat", "unchanged");
  dir.Write("new/res/a.txt", "new a");
  dir.Write("new/bin/same.dat", "unchanged");
  dir.Write("new/res/added.txt", "added");
  // The moved file lies at its destination folder in the new tree.
  dir.Write("new/moved/res/m.txt", "moved");
  dir.Write("moves.txt", "res/m.txt >> moved\n");
  platform::fs::MakeDirectories(dir / "dl");
  ASSERT_EQ(RunProgram({std::string(KESTRA_BIN_DIR) + "/kestra-pack", "make", "--old", dir / "old", "--new",
                        dir / "new", "--version", "1.0.5", "--move-list", dir / "moves.txt", "-o",
                        dir / "dl/patch1.0.5.tq"}),
            0);
  std::vector<std::string> names =
      PackageGuard::TouchedNames(config::ParseVersion("1.0.5"), "patch1.0.5.tq", dir / "dl");
  std::sort(names.begin(), names.end());
  for (const char* expected : {"res/a.txt", "res/added.txt", "res/gone.txt", "res/m.txt", "moved/res/m.txt"})
    EXPECT_TRUE(std::find(names.begin(), names.end(), expected) != names.end()) << expected;
  EXPECT_TRUE(std::find(names.begin(), names.end(), "bin/same.dat") == names.end());

  // A package that cannot be read names nothing (and nothing breaks).
  EXPECT_TRUE(PackageGuard::TouchedNames(config::ParseVersion("1.0.5"), "missing.tq", dir / "dl").empty());
  dir.Write("dl/patch1.0.6.tq", "not a package");
  EXPECT_TRUE(PackageGuard::TouchedNames(config::ParseVersion("1.0.6"), "patch1.0.6.tq", dir / "dl").empty());
}

TEST(PackageGuard, RestorePutsTheInstallationBack) {
  TempDir dir;
  dir.Write("inst/res/a.txt", "a before");
  dir.Write("inst/res/keep.txt", "not named");
  dir.Write("inst/res/dir.txt/inside", "a folder where a file is named");
  const std::string root = dir / "inst/";
  PackageGuard guard(root, dir / "dl");
  ASSERT_TRUE(guard.Save({"res/a.txt", "res/new.txt", "res/dir.txt", "deep/er/x.bin"}));

  // What a failing package leaves behind.
  dir.Write("inst/res/a.txt", "a half written");
  dir.Write("inst/res/new.txt", "created");
  dir.Write("inst/deep/er/x.bin", "created deep");
  platform::fs::RemoveFile(dir / "inst/res/keep.txt");
  dir.Write("inst/res/keep.txt", "not named");

  ASSERT_TRUE(guard.Restore());
  EXPECT_EQ(dir.Read("inst/res/a.txt"), "a before");
  EXPECT_FALSE(dir.Exists("inst/res/new.txt"));
  EXPECT_FALSE(dir.Exists("inst/deep/er/x.bin"));
  EXPECT_EQ(dir.Read("inst/res/dir.txt/inside"), "a folder where a file is named");
  EXPECT_EQ(dir.Read("inst/res/keep.txt"), "not named");
  EXPECT_FALSE(dir.Exists("dl/rollback"));

  // After a success the copies go.
  ASSERT_TRUE(guard.Save({"res/a.txt"}));
  EXPECT_TRUE(dir.Exists("dl/rollback/res/a.txt"));
  guard.Discard();
  EXPECT_FALSE(dir.Exists("dl/rollback"));
  EXPECT_EQ(dir.Read("inst/res/a.txt"), "a before");
}

}  // namespace
}  // namespace kestra::app
