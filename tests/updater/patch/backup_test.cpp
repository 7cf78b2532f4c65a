#include "updater/patch/backup.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"
#include "updater/patch/apply_package.h"
#include "tests/support/wait_until.h"

namespace kestra::patch {
namespace {

using test::Addf;
using test::Modi;
using test::Record;

constexpr std::uint32_t kVersion = 0x01000003;  // 1.0.3
constexpr int kMicro = 2;

// A child process that holds one installed file with no sharing.
class LockHolder {
 public:
  LockHolder(const std::string& file, const std::string& flags)
      : ready_(flags + ".ready"), release_(flags + ".release") {
    const auto pid = platform::process::Start(
        {std::string(KESTRA_TEST_BIN_DIR) + "/patch_lock_holder", file, ready_, release_});
    EXPECT_TRUE(pid.has_value());
    pid_ = pid.value_or(0);
    kestra::test::WaitUntil([&] { return platform::fs::Exists(ready_); });
    EXPECT_TRUE(platform::fs::Exists(ready_)) << "the lock holder did not start";
  }
  ~LockHolder() { Release(); }
  void Release() {
    if (released_) return;
    released_ = true;
    platform::fs::WriteWholeFile(release_, "go");
    EXPECT_EQ(platform::process::Wait(pid_, 10000), 0);
  }

 private:
  std::string ready_, release_;
  platform::process::Pid pid_ = 0;
  bool released_ = false;
};

class BackupTest : public ::testing::Test {
 protected:
  BackupTest()
      : log_(dir_.path()), manager_(dir_ / "inst/", dir_ / "dl") {
    platform::fs::MakeDirectories(dir_ / "dl");
    Install("a.dat", "old a");
    Install("sub/b.dat", "old b");
    Install("with space.dat", "old s");
    Install("untouched.dat", "u");
    manager_.set_wait([this](std::uint32_t ms) {
      waits_.push_back(ms);
      if (on_wait_) on_wait_(static_cast<int>(waits_.size()));
    });
  }

  void Install(std::string_view name, std::string_view content) const {
    dir_.Write("inst/" + std::string(name), content);
  }
  std::string Installed(std::string_view name) const {
    return dir_.Read("inst/" + std::string(name));
  }
  std::string Root() const { return dir_ / "inst/"; }

  // The micro patch: edits a.dat, replaces sub/b.dat and the spaced name,
  // adds new.dat, deletes untouched.dat.
  void WriteMicroPatch(const std::string& extra = "") const {
    test::WritePackage(dir_ / ("dl/" + PackageFileName(kVersion, kMicro)), kVersion,
                       Modi("a.dat", 5, Record(0, "NEW")) + Addf("sub/b.dat", "new b") +
                           Addf("with space.dat", "new s") + Addf("new.dat", "added") +
                           Addf("del_list.txt", "untouched.dat\n") + extra + test::kTrailer4);
  }
  void ApplyMicroPatch() const {
    InstallState state;
    state.update_version = kVersion;
    state.micro_argument = kMicro;
    test::FakeUi ui;
    PackageApplier applier(ui, state);
    ASSERT_TRUE(applier.ApplyPackage(PackageFileName(kVersion, kMicro), kVersion, dir_ / "dl",
                                     Root()));
  }
  void BackUpAndApply() {
    WriteMicroPatch();
    ASSERT_TRUE(manager_.BackupForMicroPatch(kVersion, kMicro));
    ApplyMicroPatch();
    ASSERT_EQ(Installed("a.dat"), "NEW a");
  }
  void ExpectMicroPatchState() const {
    EXPECT_EQ(Installed("a.dat"), "NEW a");
    EXPECT_EQ(Installed("sub/b.dat"), "new b");
  }
  void ExpectRestored() const {
    EXPECT_EQ(Installed("a.dat"), "old a");
    EXPECT_EQ(Installed("sub/b.dat"), "old b");
    EXPECT_FALSE(dir_.Exists("inst/data"));
    EXPECT_FALSE(dir_.Exists("inst/temp"));
  }
  void ExpectBackupIntact() const {
    EXPECT_EQ(dir_.Read("inst/data/a.dat"), "old a");
    EXPECT_EQ(dir_.Read("inst/data/sub/b.dat"), "old b");
    EXPECT_TRUE(dir_.Exists("inst/data/checkinfo.lst"));
  }

  kestra::test::TempDir dir_;
  test::LogCapture log_;
  BackupManager manager_;
  std::vector<std::uint32_t> waits_;
  std::function<void(int)> on_wait_;
};

TEST_F(BackupTest, BackupThenRestoreBringsTheOldFilesBack) {
  BackUpAndApply();
  EXPECT_EQ(dir_.Read("inst/data/checkinfo.lst"),
            "a.dat 5\r\nsub/b.dat 5\r\nwith space.dat 5\r\n");
  EXPECT_FALSE(dir_.Exists("inst/data/new.dat"));  // nothing to save for an added file
  EXPECT_FALSE(dir_.Exists("inst/untouched.dat"));

  ASSERT_TRUE(manager_.RestoreBackup());
  ExpectRestored();
  EXPECT_EQ(Installed("with space.dat"), "new s");  // dropped when the table was read
  EXPECT_EQ(Installed("new.dat"), "added");         // added files stay
  EXPECT_TRUE(waits_.empty());
}

TEST_F(BackupTest, BackupRefusals) {
  EXPECT_FALSE(manager_.BackupForMicroPatch(kVersion, 0));
  EXPECT_TRUE(log_.Contains("子版本不匹配"));
  EXPECT_FALSE(manager_.BackupForMicroPatch(kVersion, kMicro));  // no package
  EXPECT_TRUE(log_.Contains("获取备份文件列表失败"));
  EXPECT_FALSE(dir_.Exists("inst/data"));
}

TEST_F(BackupTest, FailedCopyRemovesTheBackup) {
  platform::fs::MakeDirectories(dir_ / "inst/adir");
  WriteMicroPatch(Addf("adir", "a directory in the installation"));
  EXPECT_FALSE(manager_.BackupForMicroPatch(kVersion, kMicro));
  EXPECT_TRUE(log_.Contains("备份文件失败"));
  EXPECT_FALSE(dir_.Exists("inst/data"));
}

TEST_F(BackupTest, UnsafeAndRepeatedNamesAreNotSaved) {
  dir_.Write("outside.dat", "outside");
  WriteMicroPatch(Addf("../outside.dat", "x") + Modi("a.dat", 5, ""));
  ASSERT_TRUE(manager_.BackupForMicroPatch(kVersion, kMicro));
  EXPECT_EQ(dir_.Read("inst/data/checkinfo.lst"),
            "a.dat 5\r\nsub/b.dat 5\r\nwith space.dat 5\r\n");
  EXPECT_TRUE(log_.Contains("备份文件名不合法，已跳过：../outside.dat"));
  EXPECT_FALSE(dir_.Exists("inst/outside.dat"));  // where "data/../outside.dat" would land
}

TEST_F(BackupTest, OnlyAddedFilesGiveAnEmptyTableAndTheRestoreFails) {
  test::WritePackage(dir_ / ("dl/" + PackageFileName(kVersion, kMicro)), kVersion,
                     Addf("fresh.dat", "f") + test::kTrailer4);
  ASSERT_TRUE(manager_.BackupForMicroPatch(kVersion, kMicro));
  EXPECT_EQ(dir_.Read("inst/data/checkinfo.lst"), "");
  EXPECT_FALSE(manager_.RestoreBackup());
  EXPECT_TRUE(log_.Contains("验证表不匹配"));
}

TEST_F(BackupTest, TruncatedCopyFailsWithoutMovingAnything) {
  BackUpAndApply();
  dir_.Write("inst/data/sub/b.dat", "ol");
  EXPECT_FALSE(manager_.RestoreBackup());
  EXPECT_TRUE(log_.Contains("验证表不匹配"));
  ExpectMicroPatchState();
  EXPECT_EQ(dir_.Read("inst/data/a.dat"), "old a");
  EXPECT_FALSE(dir_.Exists("inst/temp"));
}

TEST_F(BackupTest, LockedFileReleasedWithinTheBudget) {
  BackUpAndApply();
  LockHolder holder(dir_ / "inst/sub/b.dat", dir_ / "b");
  on_wait_ = [&](int count) {
    if (count == 4) holder.Release();
  };
  ASSERT_TRUE(manager_.RestoreBackup());
  EXPECT_EQ(waits_, std::vector<std::uint32_t>(4, kRestoreRetryWaitMs));
  ExpectRestored();
}

// One file held for six waits, the next for another six: more than ten
// failed opens in total, so the restore fails and nothing moves.
TEST_F(BackupTest, TwoLockedFilesSpendTheSharedBudget) {
  BackUpAndApply();
  LockHolder first(dir_ / "inst/a.dat", dir_ / "a");
  LockHolder second(dir_ / "inst/sub/b.dat", dir_ / "b");
  on_wait_ = [&](int count) {
    if (count == 6) first.Release();
  };
  EXPECT_FALSE(manager_.RestoreBackup());
  EXPECT_EQ(waits_.size(), static_cast<std::size_t>(kRestoreOpenAttempts));
  EXPECT_TRUE(log_.Contains("sub/b.dat无法获取写权限"));
  second.Release();
  ExpectMicroPatchState();
  ExpectBackupIntact();
  EXPECT_FALSE(dir_.Exists("inst/temp"));
}

TEST_F(BackupTest, DeletedInstalledFileSpendsTheRetries) {
  BackUpAndApply();
  platform::fs::RemoveFile(dir_ / "inst/a.dat");
  EXPECT_FALSE(manager_.RestoreBackup());
  EXPECT_EQ(waits_.size(), static_cast<std::size_t>(kRestoreOpenAttempts));
  EXPECT_TRUE(log_.Contains("a.dat无法获取写权限"));
  ExpectBackupIntact();
}

// Moves that fail on purpose: the installed files step aside, then one saved
// copy cannot come back.
TEST_F(BackupTest, FailedMoveBackIsRolledBack) {
  BackUpAndApply();
  const std::string backup = manager_.backup_directory();
  manager_.set_move([&](std::string_view from, std::string_view to) {
    if (std::string(from) == backup + "\\sub/b.dat") return false;
    return platform::fs::MoveFile(from, to, false);
  });
  EXPECT_FALSE(manager_.RestoreBackup());
  EXPECT_TRUE(log_.Contains("还原备份文件失败"));
  ExpectMicroPatchState();
  ExpectBackupIntact();
  EXPECT_FALSE(dir_.Exists("inst/temp"));

  manager_.set_move([](std::string_view from, std::string_view to) {
    return platform::fs::MoveFile(from, to, false);
  });
  ASSERT_TRUE(manager_.RestoreBackup());
  ExpectRestored();
}

TEST_F(BackupTest, FailedStepAsideIsRolledBack) {
  BackUpAndApply();
  const std::string swap = manager_.swap_directory();
  manager_.set_move([&](std::string_view from, std::string_view to) {
    if (std::string(to) == swap + "\\sub/b.dat") return false;
    return platform::fs::MoveFile(from, to, false);
  });
  EXPECT_FALSE(manager_.RestoreBackup());
  ExpectMicroPatchState();
  ExpectBackupIntact();
  EXPECT_FALSE(dir_.Exists("inst/temp"));
}

TEST_F(BackupTest, FilesThatCannotLeaveTheSwapDirectoryAreKept) {
  BackUpAndApply();
  const std::string backup = manager_.backup_directory();
  const std::string swap = manager_.swap_directory();
  manager_.set_move([&](std::string_view from, std::string_view to) {
    const std::string f(from);
    if (f == backup + "\\sub/b.dat") return false;  // the restore fails here
    if (f == swap + "\\a.dat") return false;        // and a.dat cannot come back
    return platform::fs::MoveFile(from, to, false);
  });
  EXPECT_FALSE(manager_.RestoreBackup());
  EXPECT_EQ(dir_.Read("inst/temp/a.dat"), "NEW a");  // not lost
  EXPECT_FALSE(dir_.Exists("inst/a.dat"));
  EXPECT_EQ(Installed("sub/b.dat"), "new b");
  EXPECT_TRUE(log_.Contains("未能移回"));
  ExpectBackupIntact();

  // The next attempt puts the kept file back first and then restores.
  manager_.set_move([](std::string_view from, std::string_view to) {
    return platform::fs::MoveFile(from, to, false);
  });
  ASSERT_TRUE(manager_.RestoreBackup());
  ExpectRestored();
}

TEST(BackupRemoveTree, RemovesEverything) {
  kestra::test::TempDir dir;
  dir.Write("t/a", "1");
  dir.Write("t/b/c/d", "2");
  EXPECT_TRUE(RemoveTree(dir / "t"));
  EXPECT_FALSE(dir.Exists("t"));
  EXPECT_TRUE(RemoveTree(dir / "t"));  // already gone
}

TEST(ListPackageFiles, NamesInPackageOrderWithoutTheLists) {
  kestra::test::TempDir dir;
  test::WritePackage(dir / PackageFileName(kVersion, 4), kVersion,
                     Addf("B.dat", "1") + Addf("Del_List.txt", "x") + Modi("a/C.dat", 1, "") +
                         Addf("MOVE_LIST.TXT", "") + test::kTrailer4);
  std::vector<std::string> names;
  ASSERT_TRUE(ListPackageFiles(kVersion, 4, dir.path(), names));
  EXPECT_EQ(names, (std::vector<std::string>{"B.dat", "a/C.dat"}));
  EXPECT_FALSE(ListPackageFiles(kVersion, 5, dir.path(), names));
  test::WritePackage(dir / PackageFileName(kVersion, 6), kVersion, Addf("B.dat", "1"));
  EXPECT_FALSE(ListPackageFiles(kVersion, 6, dir.path(), names));  // no trailer: read fails
}

}  // namespace
}  // namespace kestra::patch
