// The allocators, with block states written one character per block:
// F Free, A Allocated, V Verified, W Written.
#include "downloader/storage/block_allocator.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "downloader/storage/file.h"
#include "downloader/storage/file_system.h"
#include "storage_fixture.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using test::StateChar;

constexpr std::uint32_t kBlock = 8;

// Blocks of 8 bytes brought into the states of the string through the
// blocks' own operations (allocation, verified data, restore).
class Ring {
 public:
  explicit Ring(const std::string& states) : content_(test::Content(states.size() * kBlock, 7)) {
    const FileEntry e = test::MakeEntry(1, "ring", content_, kBlock);
    for (std::uint32_t i = 0; i < states.size(); ++i) {
      blocks_.push_back(std::make_unique<FileBlock>(1, i, e.parts[i]));
      FileBlock& b = *blocks_.back();
      switch (states[i]) {
        case 'A': EXPECT_TRUE(b.TryAllocate()); break;
        case 'V': EXPECT_TRUE(b.BufferAndVerify(content_.data() + b.start(), b.start(), kBlock).verified); break;
        case 'W': EXPECT_TRUE(b.MarkFoundWritten()); break;
        default: break;
      }
    }
    std::vector<FileBlock*> ptrs;
    for (auto& b : blocks_) ptrs.push_back(b.get());
    allocator_ = std::make_unique<FileBlockAllocator>(ptrs);
  }

  std::string States() const {
    std::string s;
    for (const auto& b : blocks_) s += StateChar(b->state());
    return s;
  }
  void Complete(std::uint32_t i) {
    FileBlock& b = *blocks_[i];
    ASSERT_TRUE(b.BufferAndVerify(content_.data() + b.start(), b.start(), kBlock).verified);
  }
  FileBlockAllocator& a() { return *allocator_; }

 private:
  std::string content_;
  std::vector<std::unique_ptr<FileBlock>> blocks_;
  std::unique_ptr<FileBlockAllocator> allocator_;
};

std::vector<std::uint32_t> Indices(const std::vector<FileBlock*>& blocks) {
  std::vector<std::uint32_t> out;
  for (const FileBlock* b : blocks) out.push_back(b->index());
  return out;
}

struct Case {
  std::string name;
  std::string states;
  std::uint32_t begin;  // HTTP begin location (reduced mod n)
  char op;              // H http run, P peer blocks, f collect free, d collect done
  std::size_t max;
  std::uint32_t front, back;  // cursors after tightening
  bool nothing_left;
  std::vector<std::uint32_t> got;
  std::string after;  // states afterwards
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class AllocatorTable : public ::testing::TestWithParam<Case> {};

TEST_P(AllocatorTable, WalksAndTakes) {
  const Case& c = GetParam();
  Ring ring(c.states);
  ring.a().SetHttpBegin(c.begin);
  ring.a().Tighten();
  ring.a().check_invariant();
  EXPECT_EQ(ring.a().front(), c.front);
  EXPECT_EQ(ring.a().back(), c.back);
  EXPECT_EQ(ring.a().NothingLeft(), c.nothing_left);
  std::vector<FileBlock*> out;
  std::size_t n = 0;
  switch (c.op) {
    case 'H': n = ring.a().AllocHttpRun(out, c.max); break;
    case 'P': n = ring.a().AllocPeerBlocks(out, c.max); break;
    case 'f': n = ring.a().CollectFree(out, c.max); break;
    case 'd': n = ring.a().CollectDone(out, c.max); break;
  }
  EXPECT_EQ(n, out.size());
  EXPECT_EQ(Indices(out), c.got);
  EXPECT_EQ(ring.States(), c.after);
  ring.a().check_invariant();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AllocatorTable,
    ::testing::Values(
        Case{"HttpFromStart", "FFFFFF", 0, 'H', 3, 0, 5, false, {0, 1, 2}, "AAAFFF"},
        Case{"HttpStopsAtLastBlock", "FFFFFF", 4, 'H', 5, 4, 3, false, {4, 5}, "FFFFAA"},
        Case{"HttpBeginReducedModN", "FFFFFF", 10, 'H', 1, 4, 3, false, {4}, "FFFFAF"},
        Case{"HttpSkipsTakenBlocksBeforeTheRun", "AAFFFF", 0, 'H', 3, 0, 5, false, {2, 3, 4}, "AAAAAF"},
        Case{"HttpRunEndsAtFirstNonFree", "FFAFFF", 0, 'H', 5, 0, 5, false, {0, 1}, "AAAFFF"},
        Case{"HttpRunEndsAtVerified", "FFVFFF", 0, 'H', 5, 0, 5, false, {0, 1}, "AAVFFF"},
        Case{"HttpCursorPassesDoneBlocks", "WVFFFF", 0, 'H', 2, 2, 5, false, {2, 3}, "WVAAFF"},
        Case{"HttpRunOfOneAtTheEnd", "FFFFAF", 4, 'H', 3, 4, 3, false, {5}, "FFFFAA"},
        Case{"HttpSearchWrapsBeforeTheRunStarts", "FFFFAA", 4, 'H', 3, 4, 3, false, {0, 1, 2}, "AAAFAA"},
        Case{"HttpMaxZeroTakesNothing", "FFFF", 0, 'H', 0, 0, 3, false, {}, "FFFF"},
        Case{"HttpSingleBlock", "F", 0, 'H', 4, 0, 0, false, {0}, "A"},
        Case{"PeerWalksBackThroughZero", "FFFFFF", 2, 'P', 4, 2, 1, false, {1, 0, 5, 4}, "AAFFAA"},
        Case{"PeerSkipsNonFree", "FAFWFF", 0, 'P', 10, 0, 5, false, {5, 4, 2, 0}, "AAAWAA"},
        Case{"PeerStopsAtHttpCursor", "WWFFFF", 3, 'P', 10, 3, 2, false, {2, 5, 4, 3}, "WWAAAA"},
        Case{"PeerCursorPassesDoneBlocks", "FFFFWW", 0, 'P', 1, 0, 3, false, {3}, "FFFAWW"},
        Case{"CursorsMeetOnDone", "VWWWWV", 2, 'H', 5, 1, 1, true, {}, "VWWWWV"},
        Case{"CursorsMeetOnDonePeer", "VWWWWV", 2, 'P', 5, 1, 1, true, {}, "VWWWWV"},
        Case{"CursorsMeetOnTheLastFree", "VWFWWV", 3, 'H', 5, 2, 2, false, {2}, "VWAWWV"},
        Case{"CursorsMeetOnAllocated", "WWAWW", 0, 'P', 5, 2, 2, false, {}, "WWAWW"},
        Case{"CollectFreeTakesNothing", "FAFWFF", 0, 'f', 10, 0, 5, false, {5, 4, 2, 0}, "FAFWFF"},
        Case{"CollectFreeBounded", "FFFFFF", 3, 'f', 2, 3, 2, false, {2, 1}, "FFFFFF"},
        Case{"CollectDoneBothWalks", "WVFFAW", 1, 'd', 10, 2, 4, false, {1, 0, 5}, "WVFFAW"},
        Case{"CollectDoneAllOnceEach", "WWVW", 2, 'd', 10, 1, 1, true, {2, 3, 0, 1}, "WWVW"},
        Case{"CollectDoneBounded", "WWWW", 0, 'd', 3, 3, 3, true, {0, 1, 2}, "WWWW"}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The HTTP walk over a whole file: runs never wrap, the search does, and the
// cursors meet once everything is done.
TEST(FileBlockAllocatorTest, HttpWalkToTheMeetingOfTheCursors) {
  Ring ring("FFFFFF");
  FileBlockAllocator& a = ring.a();
  a.SetHttpBegin(3);
  std::vector<std::vector<std::uint32_t>> runs;
  for (int k = 0; k < 6; ++k) {
    a.Tighten();
    std::vector<FileBlock*> out;
    a.AllocHttpRun(out, 2);
    runs.push_back(Indices(out));
  }
  const std::vector<std::vector<std::uint32_t>> expect{{3, 4}, {5}, {0, 1}, {2}, {}, {}};
  EXPECT_EQ(runs, expect);
  EXPECT_EQ(ring.States(), "AAAAAA");
  a.Tighten();
  EXPECT_FALSE(a.NothingLeft());
  for (std::uint32_t i : {5u, 3u, 0u, 1u, 2u, 4u}) {
    ring.Complete(i);
    a.Tighten();
    a.check_invariant();
  }
  EXPECT_TRUE(a.NothingLeft());
  EXPECT_EQ(a.front(), a.back());
  EXPECT_EQ(a.front(), 4u);  // where the PeerCursor caught up with the HttpCursor
}

// Peers and HTTP working on one ring from both ends never take a block twice.
TEST(FileBlockAllocatorTest, BothEndsShareTheRing) {
  Ring ring("FFFFFFFF");
  FileBlockAllocator& a = ring.a();
  a.SetHttpBegin(0);
  std::vector<FileBlock*> all;
  for (int k = 0; k < 8; ++k) {
    a.Tighten();
    std::vector<FileBlock*> out;
    if (k % 2 == 0) a.AllocHttpRun(out, 1);
    else a.AllocPeerBlocks(out, 1);
    all.insert(all.end(), out.begin(), out.end());
  }
  EXPECT_EQ(Indices(all), (std::vector<std::uint32_t>{0, 7, 1, 6, 2, 5, 3, 4}));
  EXPECT_EQ(ring.States(), "AAAAAAAA");
}

// --- GlobalBlockAllocator over real files ---

class GlobalAllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.Configure(dir_.path() + "/", 0);
    for (std::uint32_t id : {10u, 20u, 30u}) {
      contents_[id] = test::Content(4 * kBlock, id);
      entries_.push_back(test::MakeEntry(id, "f" + std::to_string(id), contents_[id], kBlock));
    }
    ASSERT_TRUE(fs_.AddMultipleFiles(entries_));
  }
  std::string States(std::uint32_t id) {
    std::string s;
    File* f = fs_.FindFile(id);
    for (std::uint32_t i = 0; i < f->block_count(); ++i) s += StateChar(f->block(i)->state());
    return s;
  }
  void CompleteAll(std::uint32_t id) {
    RangeSet all;
    all.InsertRange(0, 3);
    fs_.RestoreCompleted(id, all);
  }

  kestra::test::TempDir dir_;
  FileSystem fs_;
  std::map<std::uint32_t, std::string> contents_;
  std::vector<FileEntry> entries_;
};

TEST_F(GlobalAllocatorTest, AllocBlockTakesOnlyFreeBlocksOfKnownFiles) {
  FileBlock* b = fs_.allocator().AllocBlock(20, 2);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->file_id(), 20u);
  EXPECT_EQ(b->index(), 2u);
  EXPECT_EQ(fs_.allocator().AllocBlock(20, 2), nullptr);  // now Allocated
  EXPECT_EQ(fs_.allocator().AllocBlock(20, 4), nullptr);  // no such block
  EXPECT_EQ(fs_.allocator().AllocBlock(99, 0), nullptr);  // no such file
  EXPECT_EQ(States(20), "FFAF");
  b->ReleaseAllocation();
  EXPECT_EQ(States(20), "FFFF");
}

TEST_F(GlobalAllocatorTest, AllocRunStartsAtTheStartFileAndSkipsFinishedFiles) {
  // start_file 4 of 3 files: the visit begins at the second file (id 20).
  GlobalBlockAllocator g(fs_.files(), 4);
  std::vector<FileBlock*> out;
  ASSERT_EQ(g.AllocRun(out, 3, true), 3u);
  EXPECT_EQ(out[0]->file_id(), 20u);
  EXPECT_EQ(States(20), "AAAF");
  // File 20 finished: the visit goes on to 30.
  CompleteAll(20);
  out.clear();
  ASSERT_EQ(g.AllocRun(out, 8, false), 4u);
  EXPECT_EQ(out[0]->file_id(), 30u);
  EXPECT_EQ(Indices(out), (std::vector<std::uint32_t>{3, 2, 1, 0}));
  // 30 has nothing Free but is not finished; the visit wraps to 10.
  out.clear();
  ASSERT_EQ(g.AllocRun(out, 8, true), 4u);
  EXPECT_EQ(out[0]->file_id(), 10u);
  out.clear();
  EXPECT_EQ(g.AllocRun(out, 8, true), 0u);
  EXPECT_EQ(States(10) + States(20) + States(30), "AAAAWWWWAAAA");
}

TEST_F(GlobalAllocatorTest, CollectFreeAndDoneCoverEveryFile) {
  CompleteAll(10);
  ASSERT_NE(fs_.allocator().AllocBlock(20, 0), nullptr);
  // Blocks 0 and 2 of 30 arrive (and are written at once by the synchronous
  // back-end); only block 0 lies on the cursors' walks.
  ASSERT_TRUE(fs_.Write(30, contents_[30].data(), 0, kBlock));
  ASSERT_TRUE(fs_.Write(30, contents_[30].data() + 2 * kBlock, 2 * kBlock, kBlock));
  std::vector<FileBlock*> free_blocks;
  EXPECT_EQ(fs_.allocator().CollectFree(free_blocks, 100), 5u);  // 20: 3, 30: 2
  for (FileBlock* b : free_blocks) EXPECT_EQ(b->state(), BlockState::kFree);
  std::vector<FileBlock*> done;
  EXPECT_EQ(fs_.allocator().CollectDone(done, 100), 5u);  // 10: 4, 30: block 0
  for (FileBlock* b : done) EXPECT_TRUE(b->state() == BlockState::kWritten || b->state() == BlockState::kVerified);
  EXPECT_EQ(States(10) + States(20) + States(30), "WWWWAFFFWFWF");
}

}  // namespace
}  // namespace zelt
