#include "downloader/storage/range_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zelt {
namespace {

using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Ranges Dump(const RangeSet& s) {
  Ranges out;
  s.ForEach([&](std::uint32_t lo, std::uint32_t hi) { out.emplace_back(lo, hi); });
  return out;
}

constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

struct Op {
  char kind;  // '+' insert range, '-' remove range
  std::uint32_t lo, hi;
};

struct Case {
  std::string name;
  std::vector<Op> ops;
  Ranges expect;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RangeSetTableTest : public ::testing::TestWithParam<Case> {};

TEST_P(RangeSetTableTest, GivesTheExpectedRanges) {
  const Case& c = GetParam();
  RangeSet s;
  for (const Op& op : c.ops) {
    if (op.kind == '+') s.InsertRange(op.lo, op.hi);
    else s.RemoveRange(op.lo, op.hi);
    s.check_invariant();
  }
  EXPECT_EQ(Dump(s), c.expect);
  std::uint64_t count = 0;
  for (auto [lo, hi] : c.expect) count += std::uint64_t{hi} - lo + 1;
  EXPECT_EQ(s.Count(), count);
  EXPECT_EQ(s.RangeCount(), c.expect.size());
  EXPECT_EQ(s.Empty(), c.expect.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RangeSetTableTest,
    ::testing::Values(
        Case{"Empty", {}, {}},
        Case{"Single", {{'+', 5, 5}}, {{5, 5}}},
        Case{"InvertedInsertsNothing", {{'+', 9, 3}}, {}},
        Case{"DisjointKeptApart", {{'+', 10, 20}, {'+', 1, 3}, {'+', 30, 40}}, {{1, 3}, {10, 20}, {30, 40}}},
        Case{"AdjacentLeftMerges", {{'+', 10, 20}, {'+', 5, 9}}, {{5, 20}}},
        Case{"AdjacentRightMerges", {{'+', 10, 20}, {'+', 21, 25}}, {{10, 25}}},
        Case{"GapOfOneStaysApart", {{'+', 10, 20}, {'+', 22, 25}}, {{10, 20}, {22, 25}}},
        Case{"FillingTheGapJoinsThree", {{'+', 1, 4}, {'+', 6, 9}, {'+', 5, 5}}, {{1, 9}}},
        Case{"SwallowsMany", {{'+', 2, 3}, {'+', 6, 7}, {'+', 10, 11}, {'+', 14, 15}, {'+', 1, 12}},
             {{1, 12}, {14, 15}}},
        Case{"OverlapExtendsBothSides", {{'+', 5, 10}, {'+', 3, 12}}, {{3, 12}}},
        Case{"CoveredInsertChangesNothing", {{'+', 0, 100}, {'+', 40, 60}}, {{0, 100}}},
        Case{"DuplicateInsert", {{'+', 7, 7}, {'+', 7, 7}}, {{7, 7}}},
        Case{"RemoveSplits", {{'+', 0, 99}, {'-', 10, 19}}, {{0, 9}, {20, 99}}},
        Case{"RemoveHead", {{'+', 10, 20}, {'-', 0, 12}}, {{13, 20}}},
        Case{"RemoveTail", {{'+', 10, 20}, {'-', 18, 30}}, {{10, 17}}},
        Case{"RemoveAcrossSeveral", {{'+', 0, 9}, {'+', 20, 29}, {'+', 40, 49}, {'-', 5, 44}},
             {{0, 4}, {45, 49}}},
        Case{"RemoveWhole", {{'+', 3, 8}, {'-', 3, 8}}, {}},
        Case{"RemoveMissingChangesNothing", {{'+', 3, 8}, {'-', 10, 20}, {'-', 0, 2}}, {{3, 8}}},
        Case{"RemoveFromEmpty", {{'-', 0, kMax}}, {}},
        Case{"WholeDomain", {{'+', 0, kMax}}, {{0, kMax}}},
        Case{"TopValueMergesWithoutOverflow", {{'+', kMax, kMax}, {'+', kMax - 5, kMax - 1}}, {{kMax - 5, kMax}}},
        Case{"RemoveUpToTop", {{'+', 0, kMax}, {'-', 100, kMax}}, {{0, 99}}},
        Case{"RemoveFromBottom", {{'+', 0, kMax}, {'-', 0, 0}}, {{1, kMax}}},
        Case{"RemoveMiddleOfWholeDomain", {{'+', 0, kMax}, {'-', 1, kMax - 1}}, {{0, 0}, {kMax, kMax}}}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(RangeSetTest, FindAndContains) {
  RangeSet s;
  s.InsertRange(10, 20);
  s.InsertRange(40, 40);
  std::uint32_t lo = 0, hi = 0;
  ASSERT_TRUE(s.Find(15, lo, hi));
  EXPECT_EQ(lo, 10u);
  EXPECT_EQ(hi, 20u);
  ASSERT_TRUE(s.Find(40, lo, hi));
  EXPECT_EQ(lo, 40u);
  EXPECT_EQ(hi, 40u);
  for (std::uint32_t v : {0u, 9u, 21u, 39u, 41u, kMax}) {
    EXPECT_FALSE(s.Contains(v)) << v;
    EXPECT_FALSE(s.Find(v, lo, hi)) << v;
  }
  for (std::uint32_t v : {10u, 20u, 40u}) EXPECT_TRUE(s.Contains(v)) << v;
  ASSERT_TRUE(s.First(lo, hi));
  EXPECT_EQ(lo, 10u);
  s.Clear();
  EXPECT_TRUE(s.Empty());
  EXPECT_FALSE(s.First(lo, hi));
  EXPECT_EQ(s.Count(), 0u);
}

TEST(RangeSetTest, CopiesAreIndependentAndMovesEmptyTheSource) {
  RangeSet a;
  a.InsertRange(1, 5);
  a.InsertRange(9, 9);
  RangeSet b = a;
  b.RemoveRange(3, 3);
  EXPECT_EQ(Dump(a), (Ranges{{1, 5}, {9, 9}}));
  EXPECT_EQ(Dump(b), (Ranges{{1, 2}, {4, 5}, {9, 9}}));
  EXPECT_FALSE(a == b);
  b = a;
  EXPECT_TRUE(a == b);
  RangeSet c = std::move(b);
  EXPECT_TRUE(c == a);
  EXPECT_TRUE(b.Empty());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  b.Insert(3);
  EXPECT_EQ(Dump(b), (Ranges{{3, 3}}));
}

// Random operations against a plain std::set on a small domain: every answer
// and the shape of the tree must agree after each step.
TEST(RangeSetTest, AgreesWithAPlainSetUnderRandomOperations) {
  std::mt19937 rng(12345);
  constexpr std::uint32_t kDomain = 300;
  for (int round = 0; round < 20; ++round) {
    RangeSet s;
    std::set<std::uint32_t> model;
    for (int step = 0; step < 400; ++step) {
      std::uint32_t a = rng() % kDomain;
      std::uint32_t b = a + rng() % 20;
      if (rng() % 3 == 0) {
        s.RemoveRange(a, b);
        for (std::uint32_t v = a; v <= b; ++v) model.erase(v);
      } else {
        s.InsertRange(a, b);
        for (std::uint32_t v = a; v <= b; ++v) model.insert(v);
      }
      s.check_invariant();
      ASSERT_EQ(s.Count(), model.size());
    }
    Ranges expect;
    for (std::uint32_t v : model) {
      if (!expect.empty() && expect.back().second + 1 == v) expect.back().second = v;
      else expect.emplace_back(v, v);
    }
    ASSERT_EQ(Dump(s), expect);
    for (std::uint32_t v = 0; v < kDomain + 25; ++v) ASSERT_EQ(s.Contains(v), model.count(v) == 1) << v;
  }
}

TEST(RangeSetTest, ManySeparateRangesStayBalanced) {
  RangeSet s;
  // Ascending inserts are the worst case for an unbalanced tree.
  for (std::uint32_t i = 0; i < 20000; ++i) s.Insert(i * 2);
  s.check_invariant();
  EXPECT_EQ(s.RangeCount(), 20000u);
  // Filling every gap leaves one range.
  for (std::uint32_t i = 0; i + 1 < 20000; ++i) s.Insert(i * 2 + 1);
  EXPECT_EQ(Dump(s), (Ranges{{0, 39998}}));
}

}  // namespace
}  // namespace zelt
