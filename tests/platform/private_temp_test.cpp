#include "platform/private_temp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "platform/pipe_process.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace platform::private_temp {
namespace {

namespace sfs = std::filesystem;
using sfs::perms;

void SetMode(const std::string& path, perms mode) {
  sfs::permissions(path, mode, sfs::perm_options::replace);
}

perms Mode(const std::string& path) {
  return sfs::symlink_status(path).permissions() & perms::mask;
}

class PrivateTemp : public ::testing::Test {
 protected:
  void SetUp() override { SetMode(root_.path(), perms::owner_all); }
  kestra::test::TempDir root_;
};

TEST_F(PrivateTemp, CheckDirectoryTellsWhatIsWrong) {
  std::string mine = root_ / "mine";
  sfs::create_directory(mine);
  SetMode(mine, perms::owner_all);
  std::string open = root_ / "open";
  sfs::create_directory(open);
  SetMode(open, perms::all);
  std::string group = root_ / "group";
  sfs::create_directory(group);
  SetMode(group, perms::owner_all | perms::group_write);
  root_.Write("file", "x");
  sfs::create_directory_symlink(mine, root_ / "link");

  EXPECT_EQ(CheckDirectory(mine), DirectoryCheck::Private);
  EXPECT_EQ(CheckDirectory(open), DirectoryCheck::OpenToOthers);
  EXPECT_EQ(CheckDirectory(group), DirectoryCheck::OpenToOthers);
  EXPECT_EQ(CheckDirectory(root_ / "file"), DirectoryCheck::NotDirectory);
  EXPECT_EQ(CheckDirectory(root_ / "link"), DirectoryCheck::NotDirectory);
  EXPECT_EQ(CheckDirectory(root_ / "missing"), DirectoryCheck::Missing);
  EXPECT_EQ(CheckDirectory(""), DirectoryCheck::Missing);
}

TEST_F(PrivateTemp, PrivateTmpdirIsUsedAsItIs) {
  std::string tmpdir = root_ / "tmp";
  sfs::create_directory(tmpdir);
  SetMode(tmpdir, perms::owner_all);
  EXPECT_EQ(Directory((tmpdir + "/").c_str(), root_ / "system"), tmpdir);
}

TEST_F(PrivateTemp, SharedTmpdirFallsBackToOurOwnDirectory) {
  std::string shared = root_ / "shared";
  sfs::create_directory(shared);
  SetMode(shared, perms::all | perms::sticky_bit);  // like /tmp
  for (const char* env : {shared.c_str(), "", static_cast<const char*>(nullptr),
                          "/nonexistent/tmp"}) {
    auto dir = Directory(env, shared);
    ASSERT_TRUE(dir) << (env ? env : "(unset)");
    EXPECT_EQ(dir->rfind(shared + "/kestra-", 0), 0u) << *dir;
    EXPECT_EQ(Mode(*dir), perms::owner_all);
    EXPECT_EQ(CheckDirectory(*dir), DirectoryCheck::Private);
  }
}

TEST_F(PrivateTemp, PlantedOrOpenedFallbackDirectoryIsRefused) {
  std::string shared = root_ / "shared";
  sfs::create_directory(shared);
  auto dir = Directory(nullptr, shared);
  ASSERT_TRUE(dir);
  // Someone replaced it by a link to a directory they control.
  std::string elsewhere = root_ / "elsewhere";
  sfs::create_directory(elsewhere);
  SetMode(elsewhere, perms::owner_all);
  sfs::remove(*dir);
  sfs::create_directory_symlink(elsewhere, *dir);
  EXPECT_FALSE(Directory(nullptr, shared));
  // Or it is open to everybody.
  sfs::remove(*dir);
  sfs::create_directory(*dir);
  SetMode(*dir, perms::all);
  EXPECT_FALSE(Directory(nullptr, shared));
}

TEST_F(PrivateTemp, WriteExecutableWritesARunnableFileOfOurs) {
  std::string dir = root_ / "bin";
  sfs::create_directory(dir);
  SetMode(dir, perms::owner_all);
  const std::string name = "Korvel下载器-Vandor-1.0.exe";
  ASSERT_TRUE(WriteExecutable(dir, name, "#!/bin/sh\nexit 7\n"));
  std::string path = dir + "/" + name;
  EXPECT_EQ(Mode(path), perms::owner_all);
  auto pid = pipe_process::StartHidden({path}, {});
  ASSERT_TRUE(pid);
  EXPECT_EQ(process::Wait(*pid, 10000), 7);
  // Rewritten in place: shorter content leaves nothing of the old one.
  ASSERT_TRUE(WriteExecutable(dir, name, "#!/bin/sh\nexit 3\n#"));
  std::string content;
  ASSERT_TRUE(fs::ReadWholeFile(path, content));
  EXPECT_EQ(content, "#!/bin/sh\nexit 3\n#");
}

TEST_F(PrivateTemp, LinkAtTheFileNameIsNeverFollowed) {
  std::string dir = root_ / "bin";
  sfs::create_directory(dir);
  SetMode(dir, perms::owner_all);
  root_.Write("victim", "precious");
  sfs::create_symlink(root_ / "victim", dir + "/core.exe");
  int error = 0;
  EXPECT_FALSE(WriteExecutable(dir, "core.exe", "payload", &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_EQ(root_.Read("victim"), "precious");
  // A directory in the way is refused as well.
  sfs::create_directory(dir + "/sub.exe");
  EXPECT_FALSE(WriteExecutable(dir, "sub.exe", "payload", &error));
}

TEST_F(PrivateTemp, DirectoryOpenToOthersOrBadNamesAreRefused) {
  std::string open = root_ / "open";
  sfs::create_directory(open);
  SetMode(open, perms::all);
  int error = 0;
  EXPECT_FALSE(WriteExecutable(open, "core.exe", "x", &error));
  EXPECT_EQ(error, EPERM);
  EXPECT_FALSE(sfs::exists(open + "/core.exe"));
  std::string mine = root_ / "mine";
  sfs::create_directory(mine);
  SetMode(mine, perms::owner_all);
  for (const char* bad : {"", ".", "..", "../escape.exe", "a/b"}) {
    EXPECT_FALSE(WriteExecutable(mine, bad, "x", &error)) << bad;
  }
  EXPECT_FALSE(sfs::exists(root_ / "escape.exe"));
}

TEST_F(PrivateTemp, ProgramThatRunsFromTheFileCannotBeRewritten) {
  std::string dir = root_ / "bin";
  sfs::create_directory(dir);
  SetMode(dir, perms::owner_all);
  std::string sleeper;
  ASSERT_TRUE(fs::ReadWholeFile("/bin/sleep", sleeper));
  ASSERT_TRUE(WriteExecutable(dir, "sleeper", sleeper));
  auto pid = pipe_process::StartHidden({dir + "/sleeper", "30"}, {});
  ASSERT_TRUE(pid);
  int error = 0;
  EXPECT_FALSE(WriteExecutable(dir, "sleeper", sleeper, &error));
  EXPECT_EQ(error, ETXTBSY);
  process::Kill(*pid);
  process::Wait(*pid, 10000);
  EXPECT_TRUE(WriteExecutable(dir, "sleeper", sleeper));
}

}  // namespace
}  // namespace platform::private_temp
