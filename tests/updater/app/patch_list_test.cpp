#include "updater/app/patch_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "updater/config/settings.h"

namespace kestra::app {
namespace {

constexpr char kBase[] = "http://127.0.0.1:8080";
constexpr char kDefaultBase[] = "http://127.0.0.1:9/";

std::uint32_t V(const char* text) { return config::ParseVersion(text); }

// Selected entries as "version url" lines.
std::vector<std::string> Selected(const PatchList& list) {
  std::vector<std::string> out;
  for (const PatchEntry& e : list.selected) out.push_back(config::FormatVersion(e.version) + " " + e.url);
  return out;
}

struct ListCase {
  const char* name;
  std::string text;
  const char* installed;
  std::vector<std::string> selected;
  int countdown;
  int sharing;
  std::string task_base;
  std::string last;  // "" when the list has no version line
};

TEST(ParsePatchList, Cases) {
  const std::string usual = std::string("#bturl ") + kBase +
                            "\r\n##1 120 x\r\n1.0.3 u3\r\n1.0.5 u5\r\n1.0.6 u6\r\n";
  const std::vector<ListCase> cases = {
      {"usual shape", usual, "1.0.4", {"1.0.5 u5", "1.0.6 u6"}, 120, 1, kBase, "1.0.6 u6"},
      {"list order kept", "1.0.6 u6 1.0.5 u5", "1.0.4", {"1.0.6 u6", "1.0.5 u5"}, 0, 0, kDefaultBase,
       "1.0.5 u5"},
      {"equal is not newer", "1.0.4 u4\n1.0.5 u5", "1.0.4", {"1.0.5 u5"}, 0, 0, kDefaultBase, "1.0.5 u5"},
      {"nothing newer", "1.0.3 u3\n1.0.4 u4", "1.0.4", {}, 0, 0, kDefaultBase, "1.0.4 u4"},
      {"empty", "", "1.0.4", {}, 0, 0, kDefaultBase, ""},
      {"only white space", " \t\r\n\r\n ", "1.0.4", {}, 0, 0, kDefaultBase, ""},
      {"sharing mode 2", "##2 90 y 1.0.5 u5", "1.0.4", {"1.0.5 u5"}, 90, 2, kDefaultBase, "1.0.5 u5"},
      {"unknown mode digit keeps the earlier mode", "##1 70 a ##7 80 b", "1.0.4", {}, 80, 1,
       kDefaultBase, ""},
      {"#! sets the mode too", "#!1 65 z", "1.0.4", {}, 65, 1, kDefaultBase, ""},
      {"control token alone", "## 61 z", "1.0.4", {}, 61, 0, kDefaultBase, ""},
      {"countdown is cut", "##1 99999999999 z", "1.0.4", {}, kMaxCountdownSeconds, 1, kDefaultBase, ""},
      {"countdown not a number", "##1 abc z", "1.0.4", {}, 0, 1, kDefaultBase, ""},
      {"other keys skipped in pairs", "#httpurl 1.0.9 #timeout_to_http 5 #rturl x 1.0.5 u5", "1.0.4",
       {"1.0.5 u5"}, 0, 0, kDefaultBase, "1.0.5 u5"},
      {"text after the third number", "1.0.5-beta u5", "1.0.4", {"1.0.5 u5"}, 0, 0, kDefaultBase,
       "1.0.5 u5"},
      {"two numbers are no version", "1.5 u5", "1.0.4", {}, 0, 0, kDefaultBase, ""},
      {"last token without url", "1.0.5 u5 1.0.6", "1.0.4", {"1.0.5 u5", "1.0.6 "}, 0, 0, kDefaultBase,
       "1.0.6 "},
      {"absurd numbers are cut to their width", "70000.300.99999 big", "1.0.4", {"112.44.34463 big"}, 0,
       0, kDefaultBase, "112.44.34463 big"},
      {"negative numbers wrap", "-1.-1.-1 neg", "1.0.4", {"255.255.65535 neg"}, 0, 0, kDefaultBase,
       "255.255.65535 neg"},
      {"tabs and lone carriage returns", "1.0.5\tu5\r1.0.6\vu6", "1.0.4", {"1.0.5 u5", "1.0.6 u6"}, 0, 0,
       kDefaultBase, "1.0.6 u6"},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    PatchList list = ParsePatchList(c.text, V(c.installed), kDefaultBase);
    EXPECT_EQ(list.status, PatchListStatus::Ok);
    EXPECT_EQ(Selected(list), c.selected);
    EXPECT_EQ(list.countdown_seconds, c.countdown);
    EXPECT_EQ(list.sharing_mode, c.sharing);
    EXPECT_EQ(list.task_base, c.task_base);
    EXPECT_EQ(list.has_last_version_line, !c.last.empty());
    if (!c.last.empty()) {
      EXPECT_EQ(config::FormatVersion(list.last_version_line.version) + " " + list.last_version_line.url,
                c.last);
    }
    for (const PatchEntry& e : list.selected) EXPECT_EQ(e.micro_number, 0);
  }
}

TEST(ParsePatchList, SizeBounds) {
  // Exactly at the limit is read; one byte more is refused.
  std::string at_limit = "1.0.5 u5";
  at_limit.resize(kMaxPatchListBytes, ' ');
  PatchList ok = ParsePatchList(at_limit, V("1.0.4"), kDefaultBase);
  EXPECT_EQ(ok.status, PatchListStatus::Ok);
  EXPECT_EQ(ok.selected.size(), 1u);

  PatchList big = ParsePatchList(at_limit + " ", V("1.0.4"), kDefaultBase);
  EXPECT_EQ(big.status, PatchListStatus::TooLarge);
  EXPECT_TRUE(big.selected.empty());
  EXPECT_FALSE(PatchListStatusText(big.status).empty());
}

TEST(ParsePatchList, ThousandsOfLines) {
  // Years of old versions are read; a list selecting more than the bound is
  // refused whole.
  std::string old_lines;
  for (int i = 0; i < 20000; ++i) old_lines += "0.1." + std::to_string(i) + " http://h/p" + std::to_string(i) + "\r\n";
  PatchList list = ParsePatchList(old_lines + "1.0.5 http://h/new", V("1.0.4"), kDefaultBase);
  EXPECT_EQ(list.status, PatchListStatus::Ok);
  ASSERT_EQ(list.selected.size(), 1u);
  EXPECT_EQ(list.selected[0].url, "http://h/new");

  std::string newer;
  for (std::size_t i = 0; i < kMaxSelectedPatches; ++i) newer += "2.0." + std::to_string(i) + " u\n";
  EXPECT_EQ(ParsePatchList(newer, V("1.0.4"), kDefaultBase).selected.size(), kMaxSelectedPatches);
  PatchList refused = ParsePatchList(newer + "3.0.0 u\n", V("1.0.4"), kDefaultBase);
  EXPECT_EQ(refused.status, PatchListStatus::TooManyPatches);
  EXPECT_TRUE(refused.selected.empty());
}

TEST(ParsePatchList, BinaryBytesAndLongTokens) {
  std::mt19937 random(7);
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += static_cast<char>(random() & 0xFF);
  // Whatever binary bytes hold, a version line between blanks is found.
  PatchList list = ParsePatchList(junk + " \n1.0.5 http://h/patch1.0.5.tq\n", V("1.0.4"), kDefaultBase);
  EXPECT_EQ(list.status, PatchListStatus::Ok);
  ASSERT_FALSE(list.selected.empty());
  EXPECT_EQ(list.selected.back().url, "http://h/patch1.0.5.tq");

  std::string nul_text("1.0.5 a\0b", 9);
  PatchList nul = ParsePatchList(nul_text, V("1.0.4"), kDefaultBase);
  ASSERT_EQ(nul.selected.size(), 1u);
  EXPECT_EQ(nul.selected[0].url, std::string("a\0b", 3));

  // A task base longer than any usable address is not taken.
  std::string long_base(kMaxPatchUrlBytes + 1, 'x');
  EXPECT_EQ(ParsePatchList("#bturl " + long_base, V("1.0.4"), kDefaultBase).task_base, kDefaultBase);
}

TEST(MicroPatchFor, BaseIsTheLastSelectedElseTheLastLine) {
  PatchList with_selected = ParsePatchList("1.0.5 http://h/patch1.0.5.tq 1.0.6 http://h/patch1.0.6.tq",
                                           V("1.0.4"), kDefaultBase);
  PatchEntry m = MicroPatchFor(with_selected, 3);
  EXPECT_EQ(m.version, V("1.0.6"));
  EXPECT_EQ(m.micro_number, 3);
  EXPECT_EQ(m.url, "http://h/patch1.0.6.tq.3");

  PatchList nothing_newer = ParsePatchList("1.0.6 http://h/patch1.0.6.tq", V("1.0.6"), kDefaultBase);
  PatchEntry m2 = MicroPatchFor(nothing_newer, 12);
  EXPECT_EQ(m2.version, V("1.0.6"));
  EXPECT_EQ(m2.url, "http://h/patch1.0.6.tq.12");

  PatchEntry none = MicroPatchFor(ParsePatchList("", V("1.0.6"), kDefaultBase), 3);
  EXPECT_EQ(none.version, 0u);
  EXPECT_EQ(none.url, ".3");
  EXPECT_EQ(PackageFileName(none.url), "");
}

TEST(PackageFileName, OnlyNamesInsideTheDownloadDirectory) {
  const std::string long_name(kMaxPackageNameBytes + 1, 'p');
  struct {
    std::string url;
    std::string name;
  } cases[] = {
      {"http://h/tqm/patch1.0.5.tq", "patch1.0.5.tq"},
      {"http://h/tqm/patch1.0.5.tq.3", "patch1.0.5.tq.3"},
      {"http://h/tqm/", ""},
      {"patch1.0.5.tq", ""},
      {"http://h/..", ""},
      {"http://h/.", ""},
      {"http://h/..\\..\\vd.exe", ""},
      {"http://h/a\tb", ""},
      {"http://h/" + long_name, ""},
      {"http://h/" + std::string(kMaxPackageNameBytes, 'p'), std::string(kMaxPackageNameBytes, 'p')},
      {"http://h/x" + std::string(kMaxPatchUrlBytes, 'p'), ""},
      // A GBK character whose trail byte is 0x5C is no separator.
      {"http://h/\xB1\x5C.tq", "\xB1\x5C.tq"},
      {"http://h/\x5C\xB1.tq", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PackageFileName(c.url), c.name) << c.url;
}

}  // namespace
}  // namespace kestra::app
