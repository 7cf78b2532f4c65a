// The file system over real files in a temporary directory: creating and
// sizing files, the three back-ends, reads for uploads, write errors, the
// restore from resume data and the full verification scan.
#include "downloader/storage/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/block_file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "storage_fixture.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

// A file system in a temporary directory that records its status lines and
// its completion notices.
class Harness {
 public:
  explicit Harness(int fsys) {
    fs_.Configure(dir_.path() + "/", fsys);
    fs_.set_status_writer([this](const std::string& key, const std::string& value) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(key, value);
    });
    fs_.set_completion_listener([this](std::uint32_t file, std::uint32_t block) {
      std::lock_guard<std::mutex> lock(mutex_);
      notices_.emplace_back(file, block);
    });
  }
  FileSystem& fs() { return fs_; }
  const kestra::test::TempDir& dir() const { return dir_; }
  Lines lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Without the progress of growing files.
  Lines events() {
    Lines out;
    for (auto& l : lines()) if (l.first != "CreateFile") out.push_back(l);
    return out;
  }
  Lines lines_with(const std::string& key) {
    Lines out;
    for (auto& l : lines()) if (l.first == key) out.push_back(l);
    return out;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> notices() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
  }
  // Until every block that was handed to the disk is written.
  void WaitWritten(std::uint64_t bytes) {
    while (fs_.written_bytes() < bytes) platform::clock::SleepMs(1);
  }

 private:
  kestra::test::TempDir dir_;
  FileSystem fs_;
  std::mutex mutex_;
  Lines lines_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> notices_;
};

std::string States(File* f) {
  std::string s;
  for (std::uint32_t i = 0; i < f->block_count(); ++i) s += test::StateChar(f->block(i)->state());
  return s;
}

class BackendTest : public ::testing::TestWithParam<int> {};

// Every back-end ends with the same bytes on disk, whatever the order and
// the cut of the pieces, and then serves them back.
TEST_P(BackendTest, WritesTheSameContent) {
  Harness h(GetParam());
  const std::string a = test::Content(5 * 4096 + 123, 1);
  const std::string b = test::Content(3 * 4096, 2);
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "dir\\sub\\a.bin", a, 4096),
                                       test::MakeEntry(2, "b.bin", b, 4096)}));
  std::mt19937 rng(GetParam() + 17);
  for (auto [id, content] : {std::pair<std::uint32_t, const std::string*>{1, &a}, {2, &b}}) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces;
    for (std::uint32_t at = 0; at < content->size();) {
      const std::uint32_t n = std::min<std::uint32_t>(1 + rng() % 3000, content->size() - at);
      pieces.emplace_back(at, n);
      at += n;
    }
    std::shuffle(pieces.begin(), pieces.end(), rng);
    for (auto [at, n] : pieces) ASSERT_TRUE(h.fs().Write(id, content->data() + at, at, n));
  }
  EXPECT_TRUE(h.fs().IsComplete());
  h.WaitWritten(a.size() + b.size());
  EXPECT_EQ(h.fs().written_bytes(), a.size() + b.size());
  EXPECT_EQ(h.notices().size(), 6u + 3u);
  // Complete files were reopened for reading only, and still serve uploads.
  EXPECT_TRUE(h.fs().FindFile(1)->read_only());
  std::string back(a.size(), '\0');
  ASSERT_TRUE(h.fs().Read(1, back.data(), static_cast<std::uint32_t>(back.size()), 0));
  EXPECT_EQ(back, a);
  h.fs().Stop();
  EXPECT_EQ(h.dir().Read("dir/sub/a.bin"), a);
  EXPECT_EQ(h.dir().Read("b.bin"), b);
  EXPECT_TRUE(h.lines_with("Error").empty());
  h.fs().check_invariant();
}

INSTANTIATE_TEST_SUITE_P(Fsys, BackendTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return "Fsys" + std::to_string(info.param); });

TEST(FileSystemTest, ZeroLengthFileIsCompleteFromTheStart) {
  Harness h(1);
  FileEntry empty;
  empty.id = 3;
  empty.name = "empty.dat";
  ASSERT_TRUE(h.fs().AddMultipleFiles({empty}));
  EXPECT_TRUE(h.fs().IsComplete());
  EXPECT_EQ(h.fs().total_bytes(), 0u);
  EXPECT_DOUBLE_EQ(h.fs().Percentage(), 1.0);
  EXPECT_DOUBLE_EQ(h.fs().CurUpdatePercentage(), 1.0);
  File* f = h.fs().FindFile(3);
  ASSERT_EQ(f->block_count(), 1u);
  EXPECT_EQ(States(f), "W");
  EXPECT_EQ(f->HaveBitmap(), (std::vector<std::uint8_t>{0x01}));
  EXPECT_EQ(platform::fs::FileSize(h.dir() / "empty.dat"), std::optional<std::uint64_t>(0));
  std::vector<FileBlock*> out;
  EXPECT_EQ(h.fs().allocator().AllocRun(out, 4, true), 0u);
  EXPECT_EQ(h.fs().BlockStatusText(), "empty.dat\n03\n");
}

TEST(FileSystemTest, LargerExistingFileIsTruncatedAndKeepsItsBlocks) {
  Harness h(1);
  const std::string content = test::Content(3 * 1000, 4);
  h.dir().Write("big.bin", content + std::string(5000, 'x'));
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "big.bin", content, 1000)}));
  EXPECT_EQ(platform::fs::FileSize(h.dir() / "big.bin"), std::optional<std::uint64_t>(3000));
  EXPECT_TRUE(h.fs().FindFile(1)->existed_before());
  std::map<std::uint32_t, RangeSet> completed;
  h.fs().VerifyAll(completed);
  EXPECT_EQ(completed[1].Count(), 3u);
  EXPECT_TRUE(h.fs().IsComplete());
}

// The synchronous back-end grows a file with zeros, 1 MiB at a time, and
// reports each step.
TEST(FileSystemTest, RawBackendGrowsWithZerosAndReportsEachMegabyte) {
  Harness h(0);
  const std::string content = test::Content(2 * 1048576 + 512, 5);
  h.dir().Write("grow.bin", "abc");
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "grow.bin", content, 1048576)}));
  const std::string path = h.dir().path() + "/grow.bin";
  const Lines expect{{"CreateFile", path + ": 1048579/2097664"},
                     {"CreateFile", path + ": 2097155/2097664"},
                     {"CreateFile", path + ": 2097664/2097664"}};
  EXPECT_EQ(h.lines_with("CreateFile"), expect);
  const std::string disk = h.dir().Read("grow.bin");
  ASSERT_EQ(disk.size(), content.size());
  EXPECT_EQ(disk.substr(0, 3), "abc");
  EXPECT_EQ(disk.find_first_not_of('\0', 3), std::string::npos);
}

TEST(FileSystemTest, ReadServesOnlyFinishedBlocks) {
  Harness h(0);
  const std::string content = test::Content(4 * 512, 6);
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "r.bin", content, 512)}));
  ASSERT_NE(h.fs().allocator().AllocBlock(1, 1), nullptr);
  ASSERT_TRUE(h.fs().Write(1, content.data(), 0, 512));       // block 0 written
  ASSERT_TRUE(h.fs().Write(1, content.data() + 1024, 1024, 100));  // block 2 partly
  char buf[1024];
  EXPECT_TRUE(h.fs().Read(1, buf, 512, 0));
  EXPECT_EQ(std::string(buf, 512), content.substr(0, 512));
  EXPECT_TRUE(h.fs().Read(1, buf, 100, 300));
  EXPECT_EQ(std::string(buf, 100), content.substr(300, 100));
  struct Bad {
    std::uint32_t offset, length;
  };
  for (Bad bad : {Bad{512, 10},      // block 1 Allocated
                  Bad{400, 200},     // runs from block 0 into block 1
                  Bad{1024, 50},     // block 2 holds bytes but is not complete
                  Bad{2048, 1},      // past the end
                  Bad{2000, 100}}) {  // runs past the end
    EXPECT_FALSE(h.fs().Read(1, buf, bad.length, bad.offset)) << bad.offset << "+" << bad.length;
  }
  EXPECT_FALSE(h.fs().Read(9, buf, 1, 0));
}

// The block stays Verified when the disk refuses it: its bytes still serve
// uploads from memory and the error reaches the controlling program.
class WriteErrorTest : public ::testing::TestWithParam<int> {};

TEST_P(WriteErrorTest, FailedWriteIsReportedAndTheBlockStaysInMemory) {
  Harness h(GetParam());
  const std::string content = test::Content(4 * 4096, 7);
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "w.bin", content, 4096)}));
  ASSERT_TRUE(platform::LimitFileSize(8192));  // blocks 2 and 3 cannot reach the disk
  ASSERT_TRUE(h.fs().Write(1, content.data() + 8192, 8192, 4096));
  ASSERT_TRUE(h.fs().Write(1, content.data(), 0, 4096));
  h.WaitWritten(4096);
  h.fs().DrainWrites();
  h.fs().Stop();  // every queued write has run
  ASSERT_TRUE(platform::LimitFileSize(0));
  const std::string path = h.dir().path() + "/w.bin";
  const Lines errors{{"ErrorCode", "31"}, {"ErrorFile", path}, {"Error", "WriteFile"}};
  EXPECT_EQ(h.events(), errors);
  File* f = h.fs().FindFile(1);
  EXPECT_EQ(States(f), "WFVF");
  EXPECT_EQ(h.fs().written_bytes(), 4096u);
  EXPECT_EQ(h.fs().verified_bytes(), 8192u);
  char buf[4096];
  ASSERT_TRUE(h.fs().Read(1, buf, 4096, 8192));
  EXPECT_EQ(std::string(buf, 4096), content.substr(8192, 4096));
}

INSTANTIATE_TEST_SUITE_P(Fsys, WriteErrorTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) { return "Fsys" + std::to_string(info.param); });

TEST(FileSystemTest, OpenAndSizeFailuresStopTheRegistration) {
  {
    Harness h(1);
    h.dir().Write("taken/inside", "x");  // a directory where the file should be
    const std::string content = test::Content(100, 1);
    EXPECT_FALSE(h.fs().AddMultipleFiles({test::MakeEntry(1, "ok.bin", content, 50),
                                          test::MakeEntry(2, "taken", content, 50),
                                          test::MakeEntry(3, "never.bin", content, 50)}));
    const Lines expect{{"ErrorCode", "5"}, {"ErrorFile", h.dir().path() + "/taken"}, {"Error", "OpenFile"}};
    EXPECT_EQ(h.lines(), expect);
    EXPECT_NE(h.fs().FindFile(1), nullptr);
    EXPECT_EQ(h.fs().FindFile(2), nullptr);
    EXPECT_FALSE(h.dir().Exists("never.bin"));
  }
  {
    Harness h(1);
    const std::string content = test::Content(20000, 1);
    ASSERT_TRUE(platform::LimitFileSize(4096));
    const bool added = h.fs().AddMultipleFiles({test::MakeEntry(1, "large.bin", content, 4096)});
    ASSERT_TRUE(platform::LimitFileSize(0));
    EXPECT_FALSE(added);
    const Lines expect{{"ErrorFile", h.dir().path() + "/large.bin"}, {"Error", "SetFileSize"}};
    EXPECT_EQ(h.lines(), expect);
    EXPECT_EQ(h.fs().FindFile(1), nullptr);
  }
}

TEST(FileSystemTest, RefusesDuplicateIdsUnsafeNamesAndFilesWithoutParts) {
  const std::string content = test::Content(64, 1);
  struct Bad {
    const char* what;
    FileEntry entry;
  };
  FileEntry no_parts = test::MakeEntry(2, "np.bin", content, 32);
  no_parts.parts.clear();
  for (const Bad& bad : {Bad{"duplicate", test::MakeEntry(1, "other.bin", content, 32)},
                         Bad{"parent", test::MakeEntry(2, "..\\escape.bin", content, 32)},
                         Bad{"nested parent", test::MakeEntry(2, "a/../../escape.bin", content, 32)},
                         Bad{"absolute", test::MakeEntry(2, "/tmp/escape.bin", content, 32)},
                         Bad{"drive", test::MakeEntry(2, "C:\\escape.bin", content, 32)},
                         Bad{"no parts", no_parts}}) {
    Harness h(1);
    ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "first.bin", content, 32)}));
    EXPECT_FALSE(h.fs().AddMultipleFiles({bad.entry})) << bad.what;
    EXPECT_EQ(h.fs().total_bytes(), 64u) << bad.what;
    EXPECT_FALSE(platform::fs::Exists(h.dir().path() + "/../escape.bin")) << bad.what;
    EXPECT_EQ(h.fs().files().count(), 1u) << bad.what;
  }
}

TEST(FileSystemTest, RestoreMarksPartsWrittenWithoutReadingTheDisk) {
  Harness h(1);
  const std::string content = test::Content(10 * 100, 8);
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(4, "r.bin", content, 100)}));
  RangeSet parts;
  parts.InsertRange(0, 2);
  parts.Insert(9);
  parts.Insert(40);  // no such part
  h.fs().RestoreCompleted(4, parts);
  h.fs().RecordStartBytes();
  File* f = h.fs().FindFile(4);
  EXPECT_EQ(States(f), "WWWFFFFFFW");
  EXPECT_EQ(h.fs().verified_bytes(), 400u);
  EXPECT_EQ(h.fs().written_bytes(), 400u);
  EXPECT_EQ(h.fs().written_at_start(), 400u);
  EXPECT_EQ(f->completed_bytes(), 400u);
  EXPECT_EQ(f->HaveBitmap(), (std::vector<std::uint8_t>{0x07, 0x02}));
  EXPECT_EQ(h.notices(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{4, 0}, {4, 1}, {4, 2}, {4, 9}}));
  std::uint8_t bits[3] = {0, 0, 0};
  EXPECT_FALSE(f->StateBitmap(bits, 9));  // too small: untouched
  EXPECT_EQ(bits[0], 0);
  ASSERT_TRUE(f->StateBitmap(bits, 10));
  EXPECT_EQ(bits[0], 0x3F);
  EXPECT_EQ(bits[1], 0x00);
  EXPECT_EQ(bits[2], 0x0C);
  EXPECT_EQ(h.fs().BlockStatusText(), "r.bin\n3F000C\n");
  // Half the rest arrives: this run's share counts from the restored bytes.
  ASSERT_TRUE(h.fs().Write(4, content.data() + 300, 300, 300));
  EXPECT_DOUBLE_EQ(h.fs().CurUpdatePercentage(), 0.5);
  EXPECT_DOUBLE_EQ(h.fs().Percentage(), 0.7);
}

// Existing files are read back block by block; only intact blocks count, the
// lines name every file in order and the progress ends the scan.
TEST(FileSystemTest, VerifyAllFindsTheIntactBlocks) {
  Harness h(1);
  h.fs().set_verify_threads(2);
  const std::string a = test::Content(300 * 1024, 10);  // 300 blocks of 1 KiB
  const std::string b = test::Content(4 * 1024, 11);
  const std::string c = test::Content(2 * 1024, 12);
  std::string damaged = a;
  for (std::size_t block : {7u, 150u, 299u}) damaged[block * 1024 + 5] ^= 0x40;
  h.dir().Write("a.bin", damaged);
  h.dir().Write("c.bin", c.substr(0, 1500));  // too short: block 1 is cut
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(1, "a.bin", a, 1024), test::MakeEntry(2, "b.bin", b, 1024),
                                       test::MakeEntry(3, "c.bin", c, 1024)}));
  std::map<std::uint32_t, RangeSet> completed;
  h.fs().VerifyAll(completed);

  RangeSet expect_a;
  expect_a.InsertRange(0, 298);
  expect_a.Remove(7);
  expect_a.Remove(150);
  RangeSet expect_c;
  expect_c.Insert(0);
  EXPECT_TRUE(completed[1] == expect_a);
  EXPECT_EQ(completed.count(2), 0u);  // b did not exist: skipped
  EXPECT_TRUE(completed[3] == expect_c);
  const std::uint64_t good = (300 - 3) * 1024 + 1024;
  EXPECT_EQ(h.fs().verified_bytes(), good);
  EXPECT_EQ(h.fs().written_bytes(), good);
  EXPECT_EQ(h.notices().size(), 298u);
  EXPECT_EQ(States(h.fs().FindFile(3)), "WF");

  // The lines: every file named in order, the fractions rising by at least
  // 0.01 between lines, the last one after the last name.
  const Lines lines = h.lines();
  std::vector<std::string> names;
  double last = -1;
  std::size_t fractions = 0;
  for (const auto& [key, value] : lines) {
    if (key == "VerifyFilename") {
      names.push_back(value);
    } else {
      ASSERT_EQ(key, "VerifyPercentage");
      const double v = std::stod(value);
      EXPECT_TRUE(v >= last + 0.01 || &value == &lines.back().second) << v << " after " << last;
      last = v;
      ++fractions;
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(lines.back().first, "VerifyPercentage");
  EXPECT_GE(fractions, 70u);  // one line per 1 % of 306 KiB: every 3 or 4 blocks
  EXPECT_LE(fractions, 101u);
  // Bytes checked: all of a and c out of a + b + c.
  EXPECT_NEAR(last, double(a.size() + c.size()) / double(a.size() + b.size() + c.size()), 1e-6);
  h.fs().check_invariant();
}

}  // namespace
}  // namespace zelt

namespace zelt {
namespace {

// What the control commands and the report read: names by index, priority
// ranges by file name, the block states as text.
TEST(FileSystemTest, NamesPrioritiesAndBlockStatusText) {
  Harness h(1);
  const std::string a = test::Content(9 * 100, 30);
  const std::string b = test::Content(250, 31);
  ASSERT_TRUE(h.fs().AddMultipleFiles({test::MakeEntry(7, "sub/b.bin", b, 100), test::MakeEntry(2, "a.bin", a, 100)}));
  std::string name;
  ASSERT_TRUE(h.fs().FileName(0, name));
  EXPECT_EQ(name, "a.bin");  // id order
  ASSERT_TRUE(h.fs().FileName(1, name));
  EXPECT_EQ(name, "sub/b.bin");
  EXPECT_FALSE(h.fs().FileName(2, name));

  std::vector<std::uint32_t> heard;
  h.fs().set_priority_listener([&](std::uint32_t level) { heard.push_back(level); });
  EXPECT_TRUE(h.fs().SetPriority("a.bin", 100, 5000, 3));  // clipped to the file
  EXPECT_FALSE(h.fs().SetPriority("a.bin", 900, 10, 3));   // starts past the end
  EXPECT_FALSE(h.fs().SetPriority("a.bin", 0, 0, 3));      // empty
  EXPECT_FALSE(h.fs().SetPriority("c.bin", 0, 10, 3));     // no such file
  EXPECT_EQ(heard, (std::vector<std::uint32_t>{3}));
  const auto segments = h.fs().PrioritySegments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].file_id, 2u);
  EXPECT_EQ(segments[0].start, 100u);
  EXPECT_EQ(segments[0].length, 800u);

  ASSERT_NE(h.fs().allocator().AllocBlock(2, 1), nullptr);
  ASSERT_TRUE(h.fs().Write(2, a.data() + 800, 800, 100));  // block 8 Verified, then Written
  h.WaitWritten(100);
  ASSERT_TRUE(h.fs().Write(7, b.data(), 0, 100));
  h.WaitWritten(200);
  // a: F A F F | F F F F | W  ->  0x04 0x00 0x03;  b: W F F -> 0x03
  EXPECT_EQ(h.fs().BlockStatusText(), "a.bin\n040003\nsub/b.bin\n03\n");
  h.fs().FreeAllocatedBlocks();
  EXPECT_EQ(h.fs().BlockStatusText(), "a.bin\n000003\nsub/b.bin\n03\n");
  h.fs().SetQuickLevel(4);
  EXPECT_EQ(h.fs().quick_level(), 4u);
}

}  // namespace
}  // namespace zelt
