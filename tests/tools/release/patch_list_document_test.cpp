// The list as the release tool reads and rewrites it: the pairs the updater
// would read, and a rewrite that never changes what it selects.
#include <gtest/gtest.h>

#include "tools/release/patch_list_document.h"
#include "updater/config/settings.h"

namespace kestra::release {
namespace {

std::vector<std::vector<std::string>> Pairs(const PatchListDocument& doc) {
  std::vector<std::vector<std::string>> out;
  for (const ListEntry& e : doc.entries()) out.push_back(e.tokens);
  return out;
}

TEST(PatchListDocumentTest, ReadsPairsAsTheUpdaterDoes) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::vector<std::string>> pairs;
  };
  const Case cases[] = {
      {"usual shape",
       "#bturl http://h\r\n##1 120 x\r\n1.0.5 http://h/a.tq\r\n1.0.6 http://h/b.tq\r\n",
       {{"#bturl", "http://h"}, {"##1", "120", "x"}, {"1.0.5", "http://h/a.tq"},
        {"1.0.6", "http://h/b.tq"}}},
      {"lines mean nothing", "1.0.5\n\n  http://h/a.tq 1.0.6\thttp://h/b.tq",
       {{"1.0.5", "http://h/a.tq"}, {"1.0.6", "http://h/b.tq"}}},
      {"control pair takes a third word", "#!2 30 w 1.0.5 u",
       {{"#!2", "30", "w"}, {"1.0.5", "u"}}},
      {"unknown keys stay", "#httpurl http://x #rturl y 1.2.3beta u",
       {{"#httpurl", "http://x"}, {"#rturl", "y"}, {"1.2.3beta", "u"}}},
      {"a lone last word", "1.0.5 u 1.0.6", {{"1.0.5", "u"}, {"1.0.6"}}},
      {"empty", "", {}},
      {"blanks only", " \r\n\t\v\f", {}},
  };
  for (const Case& c : cases) {
    PatchListDocument doc;
    std::string error;
    ASSERT_TRUE(doc.Parse(c.text, error)) << c.name << ": " << error;
    EXPECT_EQ(Pairs(doc), c.pairs) << c.name;
    // Written back and read again: the same pairs.
    PatchListDocument again;
    ASSERT_TRUE(again.Parse(doc.Text(), error)) << c.name;
    EXPECT_EQ(Pairs(again), c.pairs) << c.name;
  }
}

TEST(PatchListDocumentTest, RefusesWhatIsNoList) {
  struct Case {
    const char* name;
    std::string text;
    const char* reason;
  };
  std::string many;
  for (std::size_t i = 0; i <= kMaxPatchListEntries; ++i) many += "#k v\n";
  const Case cases[] = {
      {"over the size bound", std::string(kMaxPatchListBytes + 1, 'a'), "larger than"},
      {"binary", std::string("1.0.5 u\0\x01\x02", 10), "NUL"},
      {"too many entries", many, "entries"},
  };
  for (const Case& c : cases) {
    PatchListDocument doc;
    std::string error;
    EXPECT_FALSE(doc.Parse(c.text, error)) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    EXPECT_TRUE(doc.entries().empty()) << c.name;
  }
}

TEST(PatchListDocumentTest, LastVersionTaskBaseAndIncompleteEnd) {
  struct Case {
    std::string text;
    std::optional<std::string> base;
    std::optional<std::uint32_t> last;
    bool control;
    bool incomplete;
  };
  const Case cases[] = {
      {"#bturl http://a 1.0.6 u 1.0.5 v", "http://a", config::PackVersion(1, 0, 5), false, false},
      {"#bturl http://a #bturl http://b ##0 0 x", "http://b", std::nullopt, true, false},
      {"1.2.70000 u", std::nullopt, config::PackVersion(1, 2, 4464), false, false},
      {"1.0.5 u #bturl", "", config::PackVersion(1, 0, 5), false, true},
      {"##1 120", std::nullopt, std::nullopt, true, true},
      {"1.0.5", std::nullopt, config::PackVersion(1, 0, 5), false, true},
  };
  for (const Case& c : cases) {
    PatchListDocument doc;
    std::string error;
    ASSERT_TRUE(doc.Parse(c.text, error)) << c.text;
    EXPECT_EQ(doc.TaskBase(), c.base) << c.text;
    EXPECT_EQ(doc.LastVersion(), c.last) << c.text;
    EXPECT_EQ(doc.HasControlLine(), c.control) << c.text;
    EXPECT_EQ(doc.EndsIncomplete(), c.incomplete) << c.text;
  }
}

TEST(PatchListDocumentTest, EditsKeepTheOrderOfApplication) {
  PatchListDocument doc;
  std::string error;
  ASSERT_TRUE(doc.Parse("#httpurl h 1.0.5 http://h/p5 #bturl http://old ##2 30 x", error));
  doc.SetTaskBase("http://new");
  doc.SetControl(0, 0);
  doc.AppendVersion(config::PackVersion(1, 0, 6), "http://h/p6");
  EXPECT_EQ(doc.Text(),
            "#bturl http://new\r\n##0 0 share\r\n#httpurl h\r\n1.0.5 http://h/p5\r\n"
            "1.0.6 http://h/p6\r\n");
  EXPECT_EQ(doc.TaskBase(), "http://new");
  EXPECT_EQ(doc.LastVersion(), config::PackVersion(1, 0, 6));
}

TEST(PatchListDocumentTest, Versions) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> list;    // as a list token
    std::optional<std::uint32_t> strict;  // as --version
  };
  const Case cases[] = {
      {"1.0.5", config::PackVersion(1, 0, 5), config::PackVersion(1, 0, 5)},
      {"255.255.65535", 0xFFFFFFFFu, 0xFFFFFFFFu},
      {"1.0.5beta", config::PackVersion(1, 0, 5), std::nullopt},
      {"1.256.0", config::PackVersion(1, 0, 0), std::nullopt},
      {"1.0.65536", config::PackVersion(1, 0, 0), std::nullopt},
      {"-1.0.0", config::PackVersion(-1, 0, 0), std::nullopt},
      {"0.0.0", 0u, std::nullopt},
      {"1.0", std::nullopt, std::nullopt},
      {"1..0.5", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"#bturl", std::nullopt, std::nullopt},
      {"99999999999.1.1", config::PackVersion(-1, 1, 1), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScanListVersion(c.text), c.list) << c.text;
    EXPECT_EQ(ParseStrictVersion(c.text), c.strict) << c.text;
  }
}

}  // namespace
}  // namespace kestra::release
