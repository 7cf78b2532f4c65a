#include "updater/patch/verify_table.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"

namespace kestra::patch {
namespace {

TEST(VerifyTable, WrittenWhenItGoesAway) {
  kestra::test::TempDir dir;
  dir.Write("data/a.dat", "12345");
  dir.Write("data/sub/b.dat", "");
  dir.Write("data/with space.dat", "xy");
  {
    VerifyTable table(dir / "data/checkinfo.lst", dir / "data", VerifyTable::Mode::Write);
    EXPECT_TRUE(table.AddFile("a.dat"));
    EXPECT_TRUE(table.AddFile("sub/b.dat"));
    EXPECT_TRUE(table.AddFile("with space.dat"));
    EXPECT_FALSE(table.AddFile("missing.dat"));
    EXPECT_FALSE(table.Verify());  // not in write mode
  }
  EXPECT_EQ(dir.Read("data/checkinfo.lst"), "a.dat 5\r\nsub/b.dat 0\r\nwith space.dat 2\r\n");

  const VerifyTable read(dir / "data/checkinfo.lst", dir / "data", VerifyTable::Mode::Read);
  // The name with a space gives three fields and is dropped.
  EXPECT_EQ(read.Names(), (std::vector<std::string>{"a.dat", "sub/b.dat"}));
  EXPECT_TRUE(read.Verify());
  VerifyTable reader_cannot_add(dir / "data/checkinfo.lst", dir / "data", VerifyTable::Mode::Read);
  EXPECT_FALSE(reader_cannot_add.AddFile("a.dat"));
}

TEST(VerifyTable, DiscardedTableIsNotWritten) {
  kestra::test::TempDir dir;
  {
    VerifyTable table(dir / "checkinfo.lst", dir.path(), VerifyTable::Mode::Write);
    table.Discard();
  }
  EXPECT_FALSE(dir.Exists("checkinfo.lst"));
}

TEST(VerifyTable, ReadingLines) {
  kestra::test::TempDir dir;
  test::LogCapture log(dir.path());
  dir.Write("checkinfo.lst",
            "a 1\r\nb  2\r\nc d 3\r\ne x\r\n../up 4\r\nf 5\nlonely\r\n\r\ng -1\r\nh 6");
  const VerifyTable table(dir / "checkinfo.lst", dir.path(), VerifyTable::Mode::Read);
  // "g -1" is no entry: a size is never negative.
  ASSERT_EQ(table.entries().size(), 3u);
  EXPECT_EQ(table.Names(), (std::vector<std::string>{"a", "f", "h"}));
  EXPECT_TRUE(log.Contains("../up"));
}

TEST(VerifyTable, VerifyFailsOnMissingEmptyOrDifferentSizes) {
  kestra::test::TempDir dir;
  EXPECT_FALSE(
      VerifyTable(dir / "none.lst", dir.path(), VerifyTable::Mode::Read).Verify());
  dir.Write("empty.lst", "");
  EXPECT_FALSE(
      VerifyTable(dir / "empty.lst", dir.path(), VerifyTable::Mode::Read).Verify());
  dir.Write("a", "abc");
  dir.Write("t.lst", "a 3\r\n");
  EXPECT_TRUE(VerifyTable(dir / "t.lst", dir.path(), VerifyTable::Mode::Read).Verify());
  dir.Write("t.lst", "a 4\r\n");
  EXPECT_FALSE(VerifyTable(dir / "t.lst", dir.path(), VerifyTable::Mode::Read).Verify());
  dir.Write("t.lst", "a 3\r\nb 0\r\n");
  EXPECT_FALSE(VerifyTable(dir / "t.lst", dir.path(), VerifyTable::Mode::Read).Verify());
  // A missing copy "sizes" as -1: a table claiming -1 must not verify it.
  dir.Write("t.lst", "missing -1\r\n");
  EXPECT_FALSE(VerifyTable(dir / "t.lst", dir.path(), VerifyTable::Mode::Read).Verify());
}

}  // namespace
}  // namespace kestra::patch
