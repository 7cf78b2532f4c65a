#include "updater/patch/archive_fixup.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"
#include "tools/pack/package_builder.h"
#include "updater/patch/apply_package.h"

namespace kestra::patch {
namespace {

using test::Le32;

constexpr std::uint32_t kPackage = 0x01000002;

struct Entry {
  std::uint32_t id, offset, fourth;
};

// A "PAZR" archive of the given size: the index at index_offset, every
// other byte 'D'.
std::string Archive(std::size_t size, std::uint32_t index_offset, const std::vector<Entry>& index) {
  std::string bytes(size, 'D');
  std::string header = "PAZR" + Le32(static_cast<std::uint32_t>(index.size())) + Le32(index_offset);
  bytes.replace(0, header.size(), header);
  std::string table;
  for (const Entry& e : index) table += Le32(e.id) + Le32(e.offset) + Le32(7) + Le32(e.fourth);
  bytes.replace(index_offset, table.size(), table);
  return bytes;
}

class ArchiveFixupTest : public ::testing::Test {
 protected:
  ArchiveFixupTest() : log_(dir_.path()) { platform::fs::MakeDirectories(dir_ / "dl"); }

  std::string ApplyWithMicroFlag(int micro_flag, const std::string& old_archive,
                                 const std::string& new_archive) {
    dir_.Write("inst/data/a.rz1", old_archive);
    const std::string records = pack::MakePatchRecords(old_archive, new_archive);
    test::WritePackage(dir_ / "dl/p.tq", kPackage,
                       test::Modi("data/a.rz1", static_cast<std::uint32_t>(new_archive.size()),
                                  records) +
                           test::kTrailer4);
    InstallState state;
    state.base_resource_version = 0x01000000;  // older than the package: the set needs it
    state.resource_set_flags = 1;
    state.micro_flag = micro_flag;
    test::FakeUi ui;
    PackageApplier applier(ui, state);
    EXPECT_TRUE(applier.ApplyPackage("p.tq", kPackage, dir_ / "dl", dir_ / "inst/")) << ui.boxes.size();
    return dir_.Read("inst/data/a.rz1");
  }

  kestra::test::TempDir dir_;
  test::LogCapture log_;
};

TEST(ReadArchiveIndex, ReadsAndBoundsTheIndex) {
  kestra::test::TempDir dir;
  dir.Write("a", Archive(400, 300, {{1, 20, 0}, {4, 40, kArchiveMarkedEntry}}));
  dir.Write("not", "PAZX" + std::string(100, 'x'));
  dir.Write("huge", "PAZR" + Le32(0x10000000) + Le32(12) + std::string(100, 'x'));
  platform::fs::File file;
  std::vector<ArchiveEntry> index;
  ASSERT_TRUE(file.Open(dir / "a", platform::fs::Access::Read, platform::fs::Disposition::OpenExisting));
  ASSERT_TRUE(file.Seek(123));
  ASSERT_TRUE(ReadArchiveIndex(file, index));
  EXPECT_EQ(file.Tell(), 123);
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index[1].identifier, 4u);
  EXPECT_EQ(index[1].data_offset, 40u);
  EXPECT_EQ(index[1].fourth, kArchiveMarkedEntry);
  for (const char* name : {"not", "huge"}) {
    ASSERT_TRUE(file.Open(dir / name, platform::fs::Access::Read,
                          platform::fs::Disposition::OpenExisting));
    EXPECT_FALSE(ReadArchiveIndex(file, index)) << name;
  }
}

TEST_F(ArchiveFixupTest, MarkedEntriesLoseTheirFirstEightBytesOnlyWithTheMicroFlag) {
  // Old index: 9 and 20 marked. The patch moves the index and entry 9's data
  // and drops entry 20; entry 30 is new and marked only in the new index.
  const std::string old_archive =
      Archive(600, 500, {{5, 100, 0}, {9, 200, kArchiveMarkedEntry}, {20, 300, kArchiveMarkedEntry}});
  std::string new_archive =
      Archive(700, 560, {{5, 100, 0}, {9, 250, 0}, {30, 400, kArchiveMarkedEntry}});
  new_archive[250] = 'S';  // something the patch itself writes there
  new_archive[300] = 'T';

  EXPECT_EQ(ApplyWithMicroFlag(0, old_archive, new_archive), new_archive);

  std::string expected = new_archive;
  expected.replace(250, 8, std::string(8, '\0'));
  EXPECT_EQ(ApplyWithMicroFlag(1, old_archive, new_archive), expected);
}

TEST_F(ArchiveFixupTest, FilesThatAreNoArchiveAreOnlyPatched) {
  const std::string old_file(300, 'a');
  std::string new_file = old_file;
  new_file[10] = 'b';
  EXPECT_EQ(ApplyWithMicroFlag(1, old_file, new_file), new_file);
}

TEST_F(ArchiveFixupTest, DataOffsetsOutsideTheFileAreLeftAlone) {
  const std::string old_archive = Archive(200, 100, {{9, 50, kArchiveMarkedEntry}});
  const std::string new_archive = Archive(200, 120, {{9, 196, 0}});
  EXPECT_EQ(ApplyWithMicroFlag(1, old_archive, new_archive), new_archive);
}

}  // namespace
}  // namespace kestra::patch
