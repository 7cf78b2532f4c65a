#include "tools/pack/package_builder.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"
#include "updater/patch/apply_package.h"
#include "updater/patch/bz_update_helper.h"

namespace kestra::pack {
namespace {

std::string Random(std::mt19937& rng, std::size_t size) {
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Applies MODI data to a file holding old_data and returns the result.
std::string Patch(const std::string& old_data, const std::string& records, std::size_t target) {
  kestra::test::TempDir dir;
  dir.Write("f", old_data);
  platform::fs::File file;
  EXPECT_TRUE(file.Open(dir / "f", platform::fs::Access::ReadWrite,
                        platform::fs::Disposition::OpenExisting));
  EXPECT_TRUE(patch::ApplyPatchRecords(file, reinterpret_cast<const std::uint8_t*>(records.data()),
                                       static_cast<std::uint32_t>(records.size()),
                                       static_cast<std::uint32_t>(target), false));
  EXPECT_TRUE(file.SetLength(static_cast<std::int64_t>(target)));
  file.Close();
  return dir.Read("f");
}

TEST(MakePatchRecords, RoundTripsEveryKindOfChange) {
  std::mt19937 rng(7);
  const std::string base = Random(rng, 20000);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"", "new"}, {"old", ""}, {base, base}, {base, base.substr(0, 5000)},
      {base.substr(0, 5000), base}, {base, Random(rng, 20000)}, {"abc", "abd"}, {"abc", "xbc"},
  };
  for (int round = 0; round < 30; ++round) {
    std::string changed = base;
    const int edits = 1 + static_cast<int>(rng() % 40);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % changed.size();
      const std::size_t length = std::min<std::size_t>(1 + rng() % 30, changed.size() - at);
      changed.replace(at, length, Random(rng, length));
    }
    if (round % 3 == 1) changed += Random(rng, rng() % 100);
    if (round % 3 == 2) changed.resize(changed.size() - rng() % 100);
    cases.emplace_back(base, changed);
  }
  for (const auto& [old_data, new_data] : cases) {
    const std::string records = MakePatchRecords(old_data, new_data);
    EXPECT_TRUE(patch::PatchRecordsWellFormed(reinterpret_cast<const std::uint8_t*>(records.data()),
                                              static_cast<std::uint32_t>(records.size())));
    EXPECT_EQ(Patch(old_data, records, new_data.size()), new_data)
        << old_data.size() << " -> " << new_data.size();
  }
}

TEST(MakePatchRecords, RecordsAndGaps) {
  const std::string old_data(100, 'a');
  std::string near = old_data;
  near[10] = 'x';
  near[14] = 'y';  // 3 equal bytes between: one record
  EXPECT_EQ(MakePatchRecords(old_data, near),
            patch::test::Record(10, near.substr(10, 5)));
  std::string far = old_data;
  far[10] = 'x';
  far[40] = 'y';  // two records, the second skipping from behind the first
  EXPECT_EQ(MakePatchRecords(old_data, far),
            patch::test::Record(10, "x") + patch::test::Record(29, "y"));
  EXPECT_EQ(MakePatchRecords(old_data, old_data), "");
  EXPECT_EQ(MakePatchRecords("abc", "abcdef"), patch::test::Record(3, "def"));
}

struct Listed {
  std::uint32_t kind;
  std::string name;
  std::string data;
  std::uint32_t target;
};

std::vector<Listed> ListPackage(const std::string& path, std::uint32_t version, bool* ended) {
  patch::BzUpdateHelper reader;
  EXPECT_TRUE(reader.Open(version, "p", path)) << reader.error_text();
  std::vector<Listed> out;
  while (const std::uint8_t* record = reader.ReadSection()) {
    const patch::SectionView v = patch::ViewSection(record);
    out.push_back(Listed{v.kind, std::string(v.name),
                         std::string(reinterpret_cast<const char*>(v.data), v.data_length),
                         v.target_length});
  }
  *ended = reader.end_flag();
  return out;
}

TEST(BuildPackage, ChoosesSectionKindsAndLists) {
  kestra::test::TempDir dir;
  std::mt19937 rng(3);
  const std::string big = Random(rng, 10000);
  std::string edited = big;
  edited[5000] ^= 1;
  dir.Write("old/edit.bin", big);
  dir.Write("new/edit.bin", edited);
  dir.Write("old/rewrite.bin", Random(rng, 500));
  dir.Write("new/rewrite.bin", Random(rng, 500));
  dir.Write("old/same.txt", "same");
  dir.Write("new/same.txt", "same");
  dir.Write("old/gone.txt", "gone");
  dir.Write("old/mv.dat", std::string(200, 'm'));
  dir.Write("new/arch/mv.dat", std::string(100, 'm') + "!" + std::string(99, 'm'));
  dir.Write("new/sub/added.txt", "added");
  dir.Write("moves", "mv.dat >> arch\r\n");

  BuildOptions options;
  options.old_dir = dir / "old";
  options.new_dir = dir / "new";
  options.version = 0x02050000 | 301;
  options.micro = 3;
  options.magic = "ZB1T";
  options.move_list_file = dir / "moves";
  options.output = dir / "out.tq";
  BuildReport report;
  std::string error;
  ASSERT_TRUE(BuildPackage(options, report, error)) << error;
  EXPECT_EQ(report.added, 2);     // sub/added.txt and rewrite.bin
  EXPECT_EQ(report.modified, 2);  // edit.bin and mv.dat (before its move)
  EXPECT_EQ(report.deleted, 1);
  EXPECT_EQ(report.moved, 1);

  const std::string header = dir.Read("out.tq").substr(0, 12);
  EXPECT_EQ(header, "ZB1T" + patch::test::Le32(options.version) + patch::test::Le32(0));

  bool ended = false;
  const auto sections = ListPackage(dir / "out.tq", options.version, &ended);
  EXPECT_TRUE(ended);
  ASSERT_EQ(sections.size(), 6u);
  EXPECT_EQ(sections[0].name, "edit.bin");
  EXPECT_EQ(sections[0].kind, patch::kKindModi);
  EXPECT_EQ(sections[0].target, 10000u);
  EXPECT_EQ(sections[0].data, patch::test::Record(5000, edited.substr(5000, 1)));
  EXPECT_EQ(sections[1].name, "mv.dat");
  EXPECT_EQ(sections[1].kind, patch::kKindModi);
  EXPECT_EQ(sections[2].name, "rewrite.bin");
  EXPECT_EQ(sections[2].kind, patch::kKindAddf);  // the edit would not be smaller
  EXPECT_EQ(sections[3].name, "sub/added.txt");
  EXPECT_EQ(sections[3].kind, patch::kKindAddf);
  EXPECT_EQ(sections[4].name, "del_list.txt");
  EXPECT_EQ(sections[4].data, "gone.txt\n");
  EXPECT_EQ(sections[5].name, "move_list.txt");
  EXPECT_EQ(sections[5].data, "mv.dat >> arch\r\n");
}

TEST(BuildPackage, Refusals) {
  kestra::test::TempDir dir;
  dir.Write("old/a", "1");
  dir.Write("new/a", "2");
  dir.Write("new/keep/a", "2");
  struct Case {
    const char* what;
    std::string moves;
    std::string magic;
  } cases[] = {
      {"magic", "", "XXXX"},
      {"moved file missing from the new tree", "a >> nowhere\n", "DU1T"},
      {"moved file still at its source", "a >> keep\n", "DU1T"},
      {"move leaving the tree", "a >> ../x\n", "DU1T"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir.Write("moves", c.moves);
    BuildOptions options;
    options.old_dir = dir / "old";
    options.new_dir = dir / "new";
    options.version = 0x01000001;
    options.magic = c.magic;
    if (!c.moves.empty()) options.move_list_file = dir / "moves";
    options.output = dir / "out.tq";
    BuildReport report;
    std::string error;
    EXPECT_FALSE(BuildPackage(options, report, error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace kestra::pack
