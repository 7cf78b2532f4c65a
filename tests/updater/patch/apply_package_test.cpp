#include "updater/patch/apply_package.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"

namespace kestra::patch {
namespace {

using test::Addf;
using test::FakeUi;
using test::Modi;
using test::Record;
using test::Section;

constexpr std::uint32_t V(int major, int minor, int build) {
  return (static_cast<std::uint32_t>(major) << 24) | (static_cast<std::uint32_t>(minor) << 16) |
         static_cast<std::uint32_t>(build);
}

TEST(ResourceSetUpdateMask, Table) {
  const std::uint32_t p = V(1, 0, 5);
  struct Case {
    std::uint32_t base, hd;
    int sub, micro;
    std::uint32_t mask;
  } cases[] = {
      {V(1, 0, 4), 0, 0, -1, 1},           // older base set; hd version unknown
      {V(1, 0, 4), V(1, 0, 4), 0, -1, 3},  // both older
      {V(1, 0, 6), V(1, 0, 4), 0, -1, 2},  // base newer than the package
      {p, p, 0, -1, 0},                    // same version, no micro state
      {p, p, 0, 0, 0},
      {p, p, 0, 3, 3},                     // micro asked, none applied
      {p, p, 1, 2, 3},                     // another micro applied
      {p, p, 2, 2, 0},                     // this micro applied
      {p, p, 2, 0, 0},                     // micro applied, argument 0
      {p, 0, 2, -1, 1},                    // micro applied, argument absent
      {0, 0, 0, 3, 0},                     // no resource versions at all
  };
  for (const Case& c : cases) {
    InstallState state;
    state.base_resource_version = c.base;
    state.hd_resource_version = c.hd;
    state.sub_version = c.sub;
    state.micro_argument = c.micro;
    EXPECT_EQ(ResourceSetUpdateMask(state, p), c.mask)
        << c.base << " " << c.hd << " " << c.sub << " " << c.micro;
  }
}

TEST(IsSectionNeeded, Table) {
  const std::uint32_t u = V(2, 1, 0);
  struct Case {
    std::uint32_t package;
    int micro;
    std::uint32_t flags, mask;
    const char* name;
    bool needed;
  } cases[] = {
      {V(2, 0, 9), -1, 3, 0, "vd.exe", false},          // older package: client files skipped
      {V(2, 1, 1), -1, 3, 0, "vd.exe", true},           // newer package
      {u, 0, 3, 0, "vd.exe", true},                     // same version, argument 0
      {u, 0, 3, 0, "common/ui.rz1", false},             // ... but not common resources
      {u, -1, 3, 0, "common/ui.rz1", true},             // argument absent
      {u, 4, 3, 0, "common/ui.rz1", true},              // any other argument
      {V(2, 0, 9), -1, 3, 0, "common/ui.rz1", false},   // common resources follow the version
      {V(2, 0, 9), -1, 1, 1, "data/a.rz1", true},       // base set bit and present
      {V(2, 0, 9), -1, 0, 1, "data/a.rz1", false},      // base set absent
      {V(2, 1, 1), -1, 1, 0, "data/a.rz1", false},      // mask clear even for a newer package
      {V(2, 0, 9), -1, 2, 2, "hdres/a.npk", true},      // hd set
      {V(2, 0, 9), -1, 3, 1, "HDRES/a.npk", false},     // hd bit of the mask clear
      {V(2, 0, 9), -1, 1, 3, "hdres/a.npk", false},     // hd set absent
      {V(2, 0, 9), -1, 3, 3, "vdsetup.rz1", false},     // exempt name follows the version
      {V(2, 1, 1), -1, 0, 0, "vdlist.map", true},
  };
  for (const Case& c : cases) {
    InstallState state;
    state.update_version = u;
    state.micro_argument = c.micro;
    state.resource_set_flags = c.flags;
    EXPECT_EQ(IsSectionNeeded(state, c.mask, c.package, c.name), c.needed) << c.name;
  }
}

TEST(MakeDirsAlong, SeparatorsAfterTheFirstCharacter) {
  kestra::test::TempDir dir;
  MakeDirsAlong(dir.path(), "a/b\\c//d.txt");
  EXPECT_TRUE(platform::fs::IsDirectory(dir / "a"));
  EXPECT_TRUE(platform::fs::IsDirectory(dir / "a/b"));
  EXPECT_TRUE(platform::fs::IsDirectory(dir / "a/b/c"));
  EXPECT_FALSE(platform::fs::Exists(dir / "a/b/c/d.txt"));
}

TEST(PatchRecordsWellFormed, Table) {
  struct Case {
    std::string data;
    bool ok;
  } cases[] = {
      {"", true},
      {Record(0, "ab"), true},
      {Record(5, "ab") + Record(1, ""), true},
      {Record(0, "ab").substr(0, 9), false},   // bytes missing
      {Record(0, "ab") + "xyz", false},        // a partial record header
      {test::Le32(0) + test::Le32(0xFFFFFFF0u) + "a", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PatchRecordsWellFormed(reinterpret_cast<const std::uint8_t*>(c.data.data()),
                                     static_cast<std::uint32_t>(c.data.size())),
              c.ok);
}

class ApplyPackageTest : public ::testing::Test {
 protected:
  ApplyPackageTest() : log_(dir_.path()) {
    platform::fs::MakeDirectories(dir_ / "inst");
    platform::fs::MakeDirectories(dir_ / "dl");
    state_.update_version = V(1, 0, 0);
    state_.resource_set_flags = 3;
  }

  std::string Root() const { return dir_ / "inst/"; }
  std::string Installed(std::string_view name) const {
    return dir_.Read("inst/" + std::string(name));
  }
  void Install(std::string_view name, std::string_view content) const {
    dir_.Write("inst/" + std::string(name), content);
  }

  // Writes the package of version v and applies it.
  bool Apply(std::uint32_t v, const std::string& stream, const std::string& file = "p.tq") {
    test::WritePackage(dir_ / ("dl/" + file), v, stream);
    PackageApplier applier(ui_, state_);
    return applier.ApplyPackage(file, v, dir_ / "dl", Root());
  }

  kestra::test::TempDir dir_;
  test::LogCapture log_;
  FakeUi ui_;
  InstallState state_;
};

TEST_F(ApplyPackageTest, SectionsThenDeleteAndMoveLists) {
  Install("edit.bin", std::string(50, '.'));
  Install("short.bin", "0123456789");
  Install("gone.txt", "x");
  Install("kept.txt", "x");
  Install("a.dat", "moving");
  const std::string stream =
      Addf("del_list.txt", "kept.txt\n") + Addf("a/b/c.dat", "new file") +
      Modi("edit.bin", 100, Record(10, "AB")) + Modi("short.bin", 4, "") +
      Addf("DEL_LIST.TXT", "gone.txt\r\nmissing.txt\r\n") +
      Addf("Move_List.txt", "a.dat >> backup\r\na.dat backup\r\n") + test::kTrailer4;
  ASSERT_TRUE(Apply(V(1, 0, 1), stream));

  EXPECT_EQ(Installed("a/b/c.dat"), "new file");
  std::string edited = std::string(10, '.') + "AB" + std::string(38, '.') + std::string(50, '\0');
  EXPECT_EQ(Installed("edit.bin"), edited);
  EXPECT_EQ(Installed("short.bin"), "0123");
  EXPECT_FALSE(dir_.Exists("inst/gone.txt"));
  EXPECT_TRUE(dir_.Exists("inst/kept.txt"));  // only the last delete list counts
  EXPECT_FALSE(dir_.Exists("inst/a.dat"));
  EXPECT_EQ(Installed("backup/a.dat"), "moving");
  EXPECT_FALSE(dir_.Exists("inst/del_list.txt"));  // control sections are never written
  EXPECT_FALSE(dir_.Exists("inst/DEL_LIST.TXT"));

  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_EQ(ui_.statuses,
            (std::vector<std::string>{"解压 a/b/c.dat", "解压 edit.bin", "解压 short.bin",
                                      "正在删除 gone.txt", "正在删除 missing.txt",
                                      "正在移动 a.dat"}));
  EXPECT_GT(ui_.pumps, 8);
  EXPECT_TRUE(log_.Contains("删除 gone.txt 成功"));
  EXPECT_TRUE(log_.Contains("删除 missing.txt 失败，错误代码为2"));
  EXPECT_TRUE(log_.Contains("移动文件成功：a.dat >> backup"));
}

TEST_F(ApplyPackageTest, MoveReplacesAnExistingDestinationAndStopsAtAFailure) {
  Install("a.dat", "new");
  Install("backup/a.dat", "old");
  Install("c.dat", "c");
  ASSERT_TRUE(Apply(V(1, 0, 1), Addf("move_list.txt", "a.dat>>backup\n") + test::kTrailer4));
  EXPECT_EQ(Installed("backup/a.dat"), "new");

  ASSERT_FALSE(Apply(V(1, 0, 1),
                     Addf("move_list.txt", "missing.dat >> x\nc.dat >> y\n") + test::kTrailer4));
  EXPECT_TRUE(log_.Contains("移动文件失败：missing.dat >> x，错误代码为2"));
  EXPECT_TRUE(dir_.Exists("inst/c.dat"));  // the pairs after the failure are not moved
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(ApplyPackageTest, MoveIntoItsOwnPlaceKeepsTheFile) {
  Install("a.dat", "data");
  ASSERT_TRUE(Apply(V(1, 0, 1), Addf("move_list.txt", "a.dat >> .\n") + test::kTrailer4));
  EXPECT_EQ(Installed("a.dat"), "data");
}

TEST_F(ApplyPackageTest, OlderPackageWritesOnlyNeededResourceFiles) {
  state_.update_version = V(1, 0, 5);
  state_.base_resource_version = V(1, 0, 2);
  state_.hd_resource_version = V(1, 0, 3);
  state_.resource_set_flags = 1;  // the hd set is not installed
  const std::string stream = Addf("vd.exe", "client") + Addf("data/x.rz1", "base res") +
                             Addf("hdres/y.rz1", "hd res") + Addf("common/z.npk", "common") +
                             test::kTrailer4;
  ASSERT_TRUE(Apply(V(1, 0, 3), stream));
  EXPECT_FALSE(dir_.Exists("inst/vd.exe"));
  EXPECT_EQ(Installed("data/x.rz1"), "base res");
  EXPECT_FALSE(dir_.Exists("inst/hdres/y.rz1"));
  EXPECT_FALSE(dir_.Exists("inst/common/z.npk"));
  EXPECT_EQ(ui_.statuses, std::vector<std::string>{"解压 data/x.rz1"});
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(ApplyPackageTest, ReapplyingTheUpdateVersionAndTheMicroArgument) {
  const std::string stream =
      Addf("vd.exe", "client") + Addf("common/ui.rz1", "common") + test::kTrailer4;
  state_.micro_argument = 0;
  ASSERT_TRUE(Apply(V(1, 0, 0), stream));
  EXPECT_TRUE(dir_.Exists("inst/vd.exe"));
  EXPECT_FALSE(dir_.Exists("inst/common/ui.rz1"));
  for (int micro : {-1, 2}) {
    state_.micro_argument = micro;
    platform::fs::RemoveTree(dir_ / "inst/common");
    ASSERT_TRUE(Apply(V(1, 0, 0), stream));
    EXPECT_TRUE(dir_.Exists("inst/common/ui.rz1")) << micro;
  }
}

TEST_F(ApplyPackageTest, ModifyOfAMissingFileAsksRetryThenCancel) {
  ui_.answers = {ui::Answer::Retry, ui::Answer::Cancel};
  ASSERT_FALSE(Apply(V(1, 0, 1), Modi("nothere.bin", 4, Record(0, "ab")) + test::kTrailer4));
  ASSERT_EQ(ui_.boxes.size(), 3u);
  const std::string target = Root() + "nothere.bin";
  EXPECT_EQ(ui_.boxes[0].text, "打开要更新的文件[" + target +
                                   "]失败!\n请确认更新时游戏不在运行。\n也有可能后台有病毒扫描程序"
                                   "正在工作，可以稍等片刻再重试。\n");
  EXPECT_EQ(ui_.boxes[0].caption, "错误");
  EXPECT_EQ(ui_.boxes[0].buttons, ui::Buttons::RetryCancel);
  EXPECT_EQ(ui_.boxes[1].text, ui_.boxes[0].text);
  EXPECT_EQ(ui_.boxes[2].text, "更新中发生错误!");
  EXPECT_EQ(ui_.boxes[2].buttons, ui::Buttons::OK);
  EXPECT_EQ(ui_.waits, std::vector<std::uint32_t>{kOpenRetryWaitMs});
  EXPECT_TRUE(ui_.errors.empty());  // no error 23 for a modification
  EXPECT_FALSE(dir_.Exists("inst/nothere.bin"));
}

TEST_F(ApplyPackageTest, AddOfALockedFileSucceedsAfterRetry) {
  Install("locked.dat", "old");
  struct ReleasingUi : FakeUi {
    std::function<void()> on_wait;
    void Wait(std::uint32_t ms) override {
      FakeUi::Wait(ms);
      on_wait();
    }
  } ui;
  platform::fs::File holder;
  ASSERT_TRUE(holder.Open(dir_ / "inst/locked.dat", platform::fs::Access::Read,
                          platform::fs::Disposition::OpenExisting, platform::fs::Share::None));
  ui.on_wait = [&] { holder.Close(); };
  ui.answers = {ui::Answer::Retry};
  test::WritePackage(dir_ / "dl/p.tq", V(1, 0, 1), Addf("locked.dat", "new") + test::kTrailer4);
  PackageApplier applier(ui, state_);
  ASSERT_TRUE(applier.ApplyPackage("p.tq", V(1, 0, 1), dir_ / "dl", Root()));
  EXPECT_EQ(Installed("locked.dat"), "new");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.rfind("增添文件[", 0), 0u);
}

TEST_F(ApplyPackageTest, AddThatCannotOpenReportsError23OnCancel) {
  platform::fs::MakeDirectories(dir_ / "inst/adir");  // a directory in the way
  ASSERT_FALSE(Apply(V(1, 0, 1),
                     Addf("first.txt", "1") + Addf("adir", "x") + Addf("later.txt", "2") +
                         test::kTrailer4));
  ASSERT_EQ(ui_.errors.size(), 1u);
  EXPECT_EQ(ui_.errors[0].first, 23);
  EXPECT_EQ(ui_.errors[0].second, "打开文件" + Root() + "adir失败");
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[1].text, "更新中发生错误!");
  EXPECT_TRUE(dir_.Exists("inst/first.txt"));  // applied sections stay applied
  EXPECT_FALSE(dir_.Exists("inst/later.txt"));
}

TEST_F(ApplyPackageTest, IllegalSections) {
  struct Case {
    const char* what;
    std::string section;
  } cases[] = {
      {"kind", Section(0x12345678, 0, "x.txt", "data")},
      {"records past the data", Modi("edit.bin", 10, Record(0, "abc").substr(0, 10))},
      {"absolute name", Addf("/tmp/evil.txt", "x")},
      {"climbing name", Addf("sub/../../evil.txt", "x")},
      {"drive letter", Addf("C:evil.txt", "x")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_ = FakeUi{};
    Install("edit.bin", "0123456789");
    ASSERT_FALSE(Apply(V(1, 0, 1), Addf("before.txt", "b") + c.section + test::kTrailer4,
                       "patch1.0.1.tq"));
    ASSERT_EQ(ui_.boxes.size(), 2u);
    EXPECT_EQ(ui_.boxes[0].text, "patch1.0.1.tq含有不合法的数据节!");
    EXPECT_EQ(ui_.boxes[0].icon, ui::Icon::Error);
    EXPECT_EQ(ui_.boxes[1].text, "更新中发生错误!");
    EXPECT_EQ(Installed("edit.bin"), "0123456789");
    EXPECT_TRUE(dir_.Exists("inst/before.txt"));
    EXPECT_FALSE(dir_.Exists("evil.txt"));
    EXPECT_FALSE(platform::fs::Exists("/tmp/evil.txt"));
  }
}

TEST_F(ApplyPackageTest, UnsafeNameFailsEvenWhenTheSectionIsNotNeeded) {
  state_.update_version = V(1, 0, 9);
  ASSERT_FALSE(Apply(V(1, 0, 1), Addf("../evil.txt", "x") + test::kTrailer4));
  EXPECT_FALSE(dir_.Exists("evil.txt"));
  ASSERT_FALSE(ui_.boxes.empty());
  EXPECT_EQ(ui_.boxes[0].text, "p.tq含有不合法的数据节!");
  EXPECT_TRUE(ui_.statuses.empty());
  EXPECT_TRUE(log_.Contains("../evil.txt"));
}

TEST_F(ApplyPackageTest, UnsafeListEntriesAreSkippedAndLogged) {
  dir_.Write("outside.txt", "keep me");
  Install("inside.txt", "delete me");
  Install("m.dat", "m");
  const std::string stream =
      Addf("del_list.txt", "../outside.txt\n/etc/hostname-nope\ninside.txt\n") +
      Addf("move_list.txt", "../outside.txt >> inst\nm.dat >> ../../escaped\nm.dat >> ok\n") +
      test::kTrailer4;
  ASSERT_TRUE(Apply(V(1, 0, 1), stream));
  EXPECT_EQ(dir_.Read("outside.txt"), "keep me");
  EXPECT_FALSE(dir_.Exists("inst/inside.txt"));
  EXPECT_FALSE(dir_.Exists("escaped"));
  EXPECT_EQ(Installed("ok/m.dat"), "m");
  EXPECT_TRUE(log_.Contains("删除列表中的文件名不合法，已跳过：../outside.txt"));
  EXPECT_TRUE(log_.Contains("移动列表中的文件名不合法，已跳过：m.dat >> ../../escaped"));
}

// A NUL inside a listed name would cut the name short at the system call, so
// the entry would act on another file: such entries are refused.
TEST_F(ApplyPackageTest, ListNamesWithANulByteAreRefused) {
  using namespace std::string_literals;
  Install("keep.dat", "keep me");
  Install("m.dat", "m");
  const std::string del_list = "keep.dat\0.old\n"s;
  const std::string move_list = "m.dat\0x >> elsewhere\nm.dat >> d\0ir\n"s;
  const std::string stream =
      Addf("del_list.txt", del_list) + Addf("move_list.txt", move_list) + test::kTrailer4;
  ASSERT_TRUE(Apply(V(1, 0, 1), stream));
  EXPECT_EQ(Installed("keep.dat"), "keep me");
  EXPECT_EQ(Installed("m.dat"), "m");
  EXPECT_FALSE(dir_.Exists("inst/elsewhere"));
  EXPECT_FALSE(dir_.Exists("inst/d"));
  EXPECT_TRUE(log_.Contains("删除列表中的文件名不合法，已跳过：keep.dat"));
  EXPECT_TRUE(log_.Contains("移动列表中的文件名不合法，已跳过：m.dat"));
}

TEST_F(ApplyPackageTest, ReaderFailures) {
  // The package cannot be opened: the reader's text with the error icon.
  PackageApplier applier(ui_, state_);
  EXPECT_FALSE(applier.ApplyPackage("none.tq", V(1, 0, 1), dir_ / "dl", Root()));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "打开更新数据文件[none.tq]失败!\n请确认更新时游戏不在运行。");
  EXPECT_EQ(ui_.boxes[0].icon, ui::Icon::Error);

  // No trailer: the sections are applied, then the read fails (plain box).
  ui_ = FakeUi{};
  EXPECT_FALSE(Apply(V(1, 0, 1), Addf("only.txt", "o")));
  EXPECT_TRUE(dir_.Exists("inst/only.txt"));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "读取UpdateSec头出错");
  EXPECT_EQ(ui_.boxes[0].icon, ui::Icon::None);
}

TEST_F(ApplyPackageTest, ModifyListSectionLeavesTheListEmpty) {
  Install("x.txt", "x");
  ASSERT_TRUE(Apply(V(1, 0, 1),
                    Addf("del_list.txt", "x.txt\n") + Modi("del_list.txt", 0, "") +
                        test::kTrailer4));
  EXPECT_TRUE(dir_.Exists("inst/x.txt"));
}

// Random, mostly malformed packages: every one ends with true or a message,
// and nothing appears outside the installation.
TEST_F(ApplyPackageTest, RandomStreamsNeverWriteOutsideTheRoot) {
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  const char* names[] = {"a.txt", "d/e.bin", "../up.txt", "/abs.txt", "del_list.txt",
                         "move_list.txt", "x/../../y", "C:z", "hdres/r.rz1", ""};
  const char* lists[] = {"a.txt\n../up.txt\n", "a.txt >> ..\n../q >> d\n", "\r\n\r\n"};
  for (int round = 0; round < 150; ++round) {
    std::string stream;
    const int count = static_cast<int>(next() % 5);
    for (int i = 0; i < count; ++i) {
      const std::string name = names[next() % 10];
      const std::uint32_t kind = next() % 4 == 0 ? next() : (next() % 2 ? kKindAddf : kKindModi);
      std::string data = next() % 3 == 0 ? std::string(lists[next() % 3])
                                         : std::string(next() % 40, static_cast<char>(next()));
      std::string record = Section(kind, next() % 64, name, data);
      if (next() % 4 == 0) record[8 + next() % 4] = static_cast<char>(next());  // N
      if (next() % 4 == 0 && record.size() > 16)
        record[record.size() - data.size() - 1 - next() % 4] = static_cast<char>(next());  // D
      stream += record;
    }
    if (next() % 3 != 0) stream += std::string(next() % 16, static_cast<char>(next()));
    Install("a.txt", "abcdefgh");
    ui_ = FakeUi{};
    Apply(V(1, 0, 1), stream);
    const auto top = platform::fs::ListDirectory(dir_.path());
    ASSERT_TRUE(top.has_value());
    for (const auto& entry : *top)
      EXPECT_TRUE(entry.name == "inst" || entry.name == "dl" || entry.name == "Log")
          << "round " << round << ": " << entry.name;
    EXPECT_FALSE(platform::fs::Exists("/abs.txt"));
  }
}

TEST(ApplyPatchRecords, SkipsAreForwardAndRelative) {
  kestra::test::TempDir dir;
  dir.Write("f", "abcdefghij");
  platform::fs::File file;
  ASSERT_TRUE(file.Open(dir / "f", platform::fs::Access::ReadWrite,
                        platform::fs::Disposition::OpenExisting));
  const std::string records = Record(1, "X") + Record(2, "YZ") + Record(0, "W") + Record(5, "T");
  ASSERT_TRUE(ApplyPatchRecords(file, reinterpret_cast<const std::uint8_t*>(records.data()),
                                static_cast<std::uint32_t>(records.size()), 12, false));
  ASSERT_TRUE(file.SetLength(12));
  file.Close();
  // a X c d Y Z W h i j, then 5 skipped from 7 reaches 12: T is cut.
  EXPECT_EQ(dir.Read("f"), std::string("aXcdYZWhij\0\0", 12));
}

}  // namespace
}  // namespace kestra::patch
