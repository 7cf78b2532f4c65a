#include "platform/file_stream.h"
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using namespace platform::fs;

TEST(FsPath, NativePathTurnsBackslashesAndCollapsesRuns) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"D:\\Games\\Vandor/", "D:/Games/Vandor/"},
      {"/tmp/inst//Log//kestra.log", "/tmp/inst/Log/kestra.log"},
      {"/tmp/inst/\\hdres\\res.ini", "/tmp/inst/hdres/res.ini"},
      {"", ""},
      {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(NativePath(c.in), c.out) << c.in;
}

TEST(FsFiles, DoubledAndMixedSeparatorsReachTheSameFile) {
  kestra::test::TempDir dir;
  ASSERT_TRUE(WriteWholeFile(dir.path() + "//a.txt", "x"));
  std::string back = dir.path() + "\\a.txt";
  EXPECT_TRUE(IsRegularFile(back));
  EXPECT_EQ(FileSize(back).value_or(0), 1u);
}

TEST(FsFiles, CopyMoveRemove) {
  kestra::test::TempDir dir;
  dir.Write("a/b/c.txt", "hello");
  EXPECT_TRUE(CopyFile(dir / "a/b/c.txt", dir / "copy.txt", true));
  EXPECT_FALSE(CopyFile(dir / "a/b/c.txt", dir / "copy.txt", true));
  EXPECT_EQ(dir.Read("copy.txt"), "hello");
  EXPECT_FALSE(MoveFile(dir / "copy.txt", dir / "a/b/c.txt", false));
  EXPECT_TRUE(MoveFile(dir / "copy.txt", dir / "a/b/c.txt", true));
  EXPECT_FALSE(dir.Exists("copy.txt"));
  EXPECT_TRUE(RemoveTree(dir / "a"));
  EXPECT_FALSE(dir.Exists("a"));
  EXPECT_TRUE(RemoveTree(dir / "never-there"));
}

TEST(FsFiles, ReadWholeFileRefusesWhatIsTooLarge) {
  kestra::test::TempDir dir;
  dir.Write("f", std::string(100, 'z'));
  std::string out;
  EXPECT_FALSE(ReadWholeFile(dir / "f", out, 99));
  EXPECT_TRUE(ReadWholeFile(dir / "f", out, 100));
  EXPECT_EQ(out.size(), 100u);
}

// Opening never waits: a FIFO with no writer (and any other file that is not
// a regular file) is refused at once by every way of opening for reading.
TEST(FsFiles, FifoIsRefusedWithoutWaiting) {
  kestra::test::TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  std::string text = "stale";
  EXPECT_FALSE(platform::fs::ReadWholeFile(fifo, text));
  EXPECT_EQ(text, "");
  for (auto access : {platform::fs::Access::Read, platform::fs::Access::ReadWrite}) {
    platform::fs::File f;
    EXPECT_FALSE(f.Open(fifo, access, platform::fs::Disposition::OpenExisting));
    EXPECT_EQ(f.last_open_error(), platform::fs::OpenError::Denied);
  }
  EXPECT_FALSE(platform::fs::CopyFile(fifo, dir / "copy", false));
  EXPECT_FALSE(dir.Exists("copy"));
  EXPECT_EQ(platform::fs::OpenReadStream(fifo), nullptr);
  // A regular file still opens as a stream that reads normally.
  dir.Write("plain", "abc");
  std::FILE* stream = platform::fs::OpenReadStream(dir / "plain");
  ASSERT_NE(stream, nullptr);
  char buffer[8] = {};
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, stream), 3u);
  EXPECT_EQ(std::string(buffer), "abc");
  std::fclose(stream);
  EXPECT_EQ(platform::fs::OpenReadStream(dir / "missing"), nullptr);
  EXPECT_EQ(platform::fs::OpenReadStream(dir.path()), nullptr);  // a directory
}

TEST(FsFiles, ListDirectoryNamesFilesAndFolders) {
  kestra::test::TempDir dir;
  dir.Write("f.txt", "");
  MakeDirectory(dir / "sub");
  auto entries = ListDirectory(dir.path());
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 2u);
  for (const auto& e : *entries) EXPECT_EQ(e.is_directory, e.name == "sub");
  EXPECT_FALSE(ListDirectory(dir / "missing").has_value());
}

TEST(FsFiles, DispositionsAndLength) {
  kestra::test::TempDir dir;
  File f;
  EXPECT_FALSE(f.Open(dir / "n", Access::Read, Disposition::OpenExisting));
  EXPECT_EQ(f.last_open_error(), OpenError::NotFound);
  ASSERT_TRUE(f.Open(dir / "n", Access::ReadWrite, Disposition::CreateNew));
  EXPECT_TRUE(f.WriteAll("0123456789"));
  EXPECT_TRUE(f.SetLength(4));
  EXPECT_EQ(f.Size().value_or(-1), 4);
  f.Close();
  EXPECT_FALSE(f.Open(dir / "n", Access::Write, Disposition::CreateNew));
  EXPECT_EQ(f.last_open_error(), OpenError::Exists);
  ASSERT_TRUE(f.Open(dir / "n", Access::Read, Disposition::OpenExisting));
  char buffer[8] = {};
  EXPECT_TRUE(f.Seek(2));
  EXPECT_EQ(f.Read(buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "23");
}

// Two openers of one file: does the second get in, given what the first
// holds and lets others do?
struct ShareCase {
  Access first_access;
  Share first_share;
  Access second_access;
  Share second_share;
  bool second_opens;
};

TEST(FsSharing, RulesHoldBetweenOpeners) {
  const ShareCase cases[] = {
      {Access::Read, Share::ReadWrite, Access::ReadWrite, Share::ReadWrite, true},
      {Access::Read, Share::Read, Access::Read, Share::Read, true},  // two readers that deny writing
      {Access::Read, Share::Read, Access::Write, Share::ReadWrite, false},
      {Access::Read, Share::None, Access::Read, Share::ReadWrite, false},
      {Access::Write, Share::None, Access::Read, Share::ReadWrite, false},
      {Access::Write, Share::Read, Access::Read, Share::ReadWrite, true},
      {Access::Write, Share::Read, Access::Read, Share::Read, false},  // second denies the first's writing
      {Access::ReadWrite, Share::ReadWrite, Access::Read, Share::None, false},
      {Access::Write, Share::ReadWrite, Access::Write, Share::ReadWrite, true},
  };
  kestra::test::TempDir dir;
  dir.Write("shared", "data");
  int i = 0;
  for (const auto& c : cases) {
    File first, second;
    ASSERT_TRUE(first.Open(dir / "shared", c.first_access, Disposition::OpenExisting, c.first_share)) << i;
    bool opened = second.Open(dir / "shared", c.second_access, Disposition::OpenExisting, c.second_share);
    EXPECT_EQ(opened, c.second_opens) << "case " << i;
    if (!opened) {
      EXPECT_EQ(second.last_open_error(), OpenError::SharingViolation) << i;
    }
    first.Close();
    if (!opened) {
      EXPECT_TRUE(second.Open(dir / "shared", c.second_access, Disposition::OpenExisting, c.second_share))
          << "released after close, case " << i;
    }
    ++i;
  }
}

TEST(FsSharing, RefusedOpenDoesNotTruncate) {
  kestra::test::TempDir dir;
  dir.Write("keep", "precious");
  File holder;
  ASSERT_TRUE(holder.Open(dir / "keep", Access::Read, Disposition::OpenExisting, Share::Read));
  File writer;
  EXPECT_FALSE(writer.Open(dir / "keep", Access::Write, Disposition::CreateAlways));
  EXPECT_EQ(dir.Read("keep"), "precious");
}

TEST(FsSpace, FreeSpaceAndTemp) {
  EXPECT_TRUE(FreeSpace(TempDirectory()).has_value());
  std::string made = MakeTempDirectory("kestra-fs-");
  ASSERT_FALSE(made.empty());
  EXPECT_TRUE(IsDirectory(made));
  EXPECT_TRUE(RemoveTree(made));
}

}  // namespace
