// Gathering a block's bytes and checking them: overlapping, repeated and
// corrupt data, alone and through the file system's counters.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "downloader/storage/file_block.h"
#include "downloader/storage/file_system.h"
#include "storage_fixture.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

// The block under test is [16, 31] of a 48-byte file.
constexpr std::uint32_t kStart = 16;
constexpr std::uint32_t kLength = 16;

struct Piece {
  std::uint32_t offset, length;
  bool corrupt;
  std::int64_t accepted;
};

struct Case {
  std::string name;
  std::vector<Piece> pieces;
  BlockState state;
  std::uint32_t missing;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class BufferAndVerifyTable : public ::testing::TestWithParam<Case> {};

TEST_P(BufferAndVerifyTable, CountsEveryByteOnce) {
  const Case& c = GetParam();
  const std::string content = test::Content(48, 3);
  const FileEntry e = test::MakeEntry(1, "f", content, kLength);
  FileBlock block(1, 1, e.parts[1]);
  ASSERT_EQ(block.start(), kStart);
  std::int64_t total = 0;
  for (const Piece& p : c.pieces) {
    std::string data = content.substr(p.offset, p.length);
    if (p.corrupt) data[data.size() / 2] ^= 0x5A;
    const FileBlock::Accepted a = block.BufferAndVerify(data.data(), p.offset, p.length);
    EXPECT_EQ(a.bytes, p.accepted) << "piece at " << p.offset;
    total += a.bytes;
    block.check_invariant();
  }
  EXPECT_EQ(block.state(), c.state);
  EXPECT_EQ(block.missing_count(), c.missing);
  // What the counters hold for the block: all of it once verified, what is
  // received while incomplete, nothing after a failed check.
  EXPECT_EQ(total, static_cast<std::int64_t>(kLength - c.missing));
  if (c.state == BlockState::kVerified) {
    EXPECT_EQ(std::string(block.verified_data(), kLength), content.substr(kStart, kLength));
  }
  if (c.state == BlockState::kFree && c.missing == kLength) {
    EXPECT_FALSE(block.has_buffer());  // a failed block gives its memory back
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferAndVerifyTable,
    ::testing::Values(
        Case{"InOrder", {{16, 8, false, 8}, {24, 8, false, 8}}, BlockState::kVerified, 0},
        Case{"Overlapping", {{16, 10, false, 10}, {22, 10, false, 6}}, BlockState::kVerified, 0},
        Case{"Duplicated", {{16, 8, false, 8}, {16, 8, false, 0}, {20, 4, false, 0}, {24, 8, false, 8}},
             BlockState::kVerified, 0},
        Case{"StraddlesBothEnds", {{10, 30, false, 16}}, BlockState::kVerified, 0},
        Case{"Incomplete", {{16, 4, false, 4}, {28, 4, false, 4}}, BlockState::kFree, 8},
        Case{"CorruptLastPiece", {{16, 8, false, 8}, {24, 8, true, -8}}, BlockState::kFree, 16},
        Case{"CorruptEarlierPiece", {{16, 8, true, 8}, {24, 4, false, 4}, {28, 4, false, -12}},
             BlockState::kFree, 16},
        Case{"LaterCopyRepairsEarlierCorruption", {{16, 8, true, 8}, {20, 12, false, 8}},
             BlockState::kVerified, 0},
        Case{"CorruptInOneGo", {{16, 16, true, 0}}, BlockState::kFree, 16},
        Case{"CorruptThenRefetched", {{16, 16, true, 0}, {16, 16, false, 16}}, BlockState::kVerified, 0},
        Case{"CorruptThenPartlyRefetched", {{16, 12, false, 12}, {28, 4, true, -12}, {16, 8, false, 8}},
             BlockState::kFree, 8},
        Case{"VerifiedTakesNothingMore", {{16, 16, false, 16}, {16, 16, true, 0}}, BlockState::kVerified, 0},
        Case{"DataBeforeTheBlock", {{0, 16, false, 0}}, BlockState::kFree, 16},
        Case{"DataAfterTheBlock", {{32, 16, false, 0}}, BlockState::kFree, 16},
        Case{"EmptyData", {{20, 0, false, 0}}, BlockState::kFree, 16}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(BufferAndVerifyTest, DataOutsideTheBlockIsReported) {
  const std::string content = test::Content(48, 3);
  const FileEntry e = test::MakeEntry(1, "f", content, kLength);
  FileBlock block(1, 1, e.parts[1]);
  EXPECT_TRUE(block.BufferAndVerify(content.data(), 0, 16).outside);
  EXPECT_FALSE(block.BufferAndVerify(content.data() + 31, 31, 1).outside);
}

TEST(BufferAndVerifyTest, AllocatedBlockCompletesAndFailedBlockIsFreeAgain) {
  const std::string content = test::Content(48, 3);
  const FileEntry e = test::MakeEntry(1, "f", content, kLength);
  FileBlock ok(1, 1, e.parts[1]);
  ASSERT_TRUE(ok.TryAllocate());
  EXPECT_TRUE(ok.BufferAndVerify(content.data() + kStart, kStart, kLength).verified);
  EXPECT_FALSE(ok.TryAllocate());
  ok.ReleaseAllocation();  // a source giving up after completion changes nothing
  EXPECT_EQ(ok.state(), BlockState::kVerified);
  EXPECT_TRUE(ok.MarkWritten());
  EXPECT_FALSE(ok.has_buffer());
  EXPECT_EQ(ok.state(), BlockState::kWritten);

  FileBlock bad(1, 1, e.parts[1]);
  ASSERT_TRUE(bad.TryAllocate());
  std::string data = content.substr(kStart, kLength);
  data[0] ^= 1;
  EXPECT_TRUE(bad.BufferAndVerify(data.data(), kStart, kLength).md5_failed);
  EXPECT_EQ(bad.state(), BlockState::kFree);
  EXPECT_TRUE(bad.TryAllocate());
}

// Through the file system: data across a block boundary feeds both blocks;
// a corrupt block takes back every byte counted for it.
TEST(FileSystemCountersTest, ReceivedBytesFollowTheBlocks) {
  kestra::test::TempDir dir;
  FileSystem fs;
  fs.Configure(dir.path() + "/", 0);
  const std::string content = test::Content(64, 9);
  ASSERT_TRUE(fs.AddMultipleFiles({test::MakeEntry(5, "c.bin", content, 16)}));
  EXPECT_EQ(fs.total_bytes(), 64u);

  ASSERT_TRUE(fs.Write(5, content.data() + 10, 10, 12));  // [10, 21]: blocks 0 and 1
  EXPECT_EQ(fs.verified_bytes(), 12u);
  ASSERT_TRUE(fs.Write(5, content.data() + 10, 10, 12));  // again: nothing new
  EXPECT_EQ(fs.verified_bytes(), 12u);
  ASSERT_TRUE(fs.Write(5, content.data(), 0, 16));  // block 0 completes and is written
  EXPECT_EQ(fs.verified_bytes(), 22u);
  EXPECT_EQ(fs.written_bytes(), 16u);

  std::string bad = content.substr(16, 16);
  bad[15] ^= 0x01;
  ASSERT_TRUE(fs.Write(5, bad.data() + 6, 22, 10));  // block 1 complete but wrong
  EXPECT_EQ(fs.verified_bytes(), 16u);                // its 6 earlier bytes are gone
  EXPECT_EQ(fs.FindFile(5)->block(1)->state(), BlockState::kFree);

  // Data running past the end of the file is cut at the end.
  std::string tail = content.substr(48, 16) + "overflow";
  ASSERT_TRUE(fs.Write(5, tail.data(), 48, static_cast<std::uint32_t>(tail.size())));
  EXPECT_EQ(fs.FindFile(5)->block(3)->state(), BlockState::kWritten);
  EXPECT_EQ(fs.verified_bytes(), 32u);
  EXPECT_FALSE(fs.IsComplete());
  ASSERT_TRUE(fs.Write(5, content.data() + 16, 16, 32));
  EXPECT_TRUE(fs.IsComplete());
  EXPECT_EQ(fs.written_bytes(), 64u);
  EXPECT_DOUBLE_EQ(fs.Percentage(), 1.0);
  fs.check_invariant();

  EXPECT_FALSE(fs.Write(6, content.data(), 0, 4));  // unknown file
  EXPECT_TRUE(fs.Write(5, content.data(), 70, 4));  // known file, past its end: ignored
  EXPECT_EQ(fs.verified_bytes(), 64u);
}

}  // namespace
}  // namespace zelt
