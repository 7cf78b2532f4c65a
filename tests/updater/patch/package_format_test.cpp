#include "updater/patch/package_format.h"

#include <gtest/gtest.h>

#include "tests/updater/patch/patch_fixture.h"

namespace kestra::patch {
namespace {

TEST(PackageFileName, VersionAndMicroNumber) {
  const std::uint32_t v = (2u << 24) | (5u << 16) | 301u;
  EXPECT_EQ(PackageFileName(v, 0), "patch2.5.301.tq");
  EXPECT_EQ(PackageFileName(v, 3), "patch2.5.301.tq.3");
  // The version field of that package in file order.
  EXPECT_EQ(test::Le32(v), std::string("\x2D\x01\x05\x02", 4));
  EXPECT_EQ(PackageFileName((255u << 24) | (255u << 16) | 65535u, 0), "patch255.255.65535.tq");
}

TEST(SectionKinds, BytesInStreamOrder) {
  EXPECT_EQ(test::Le32(kKindModi), "IDOM");
  EXPECT_EQ(test::Le32(kKindAddf), "FDDA");
}

TEST(ViewSection, FieldsOfARecord) {
  const std::string record = test::Modi("dir/a.dat", 100, test::Record(10, "xy"));
  const SectionView view = ViewSection(reinterpret_cast<const std::uint8_t*>(record.data()));
  EXPECT_EQ(view.kind, kKindModi);
  EXPECT_EQ(view.target_length, 100u);
  EXPECT_EQ(view.name_length, 10u);
  EXPECT_EQ(view.name, "dir/a.dat");
  EXPECT_EQ(view.data_length, 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.data), view.data_length),
            test::Record(10, "xy"));
}

TEST(ViewSection, NameWithoutZeroByteStaysInsideItsField) {
  std::string record = test::Le32(kKindAddf) + test::Le32(0) + test::Le32(3) + "abc" +
                       test::Le32(0);
  const SectionView view = ViewSection(reinterpret_cast<const std::uint8_t*>(record.data()));
  EXPECT_EQ(view.name, "abc");
  EXPECT_EQ(view.data_length, 0u);
}

TEST(TrimLine, Cases) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"  a b  ", "a b"},   {"a\r", "a"},     {"\r\n x \r", "x"}, {"\r", "\r"},
      {"   ", "   "},       {"", ""},         {"\tx", "\tx"},     {"x\t ", "x\t"},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimLine(c.in), c.out) << c.in;
}

TEST(ParseDeleteList, CrLfLinesAndBlankLines) {
  const auto names = ParseDeleteList("a.dat\r\n\r\nsub/b.dat\r\n\n  c.dat  \n");
  // The lone "\r" of the blank CR LF line stays a name of its own.
  EXPECT_EQ(names, (std::vector<std::string>{"a.dat", "\r", "sub/b.dat", "c.dat"}));
  EXPECT_TRUE(ParseDeleteList("").empty());
  EXPECT_TRUE(ParseDeleteList("\n\n").empty());
}

TEST(ParseMoveList, FirstSeparatorSplitsAndLinesWithoutItAreSkipped) {
  const auto items = ParseMoveList("a.dat >> backup\r\na.dat backup\nx>>y>>z\n d/e.dat>>f \n");
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].source, "a.dat");
  EXPECT_EQ(items[0].destination, "backup");
  EXPECT_EQ(items[1].source, "x");
  EXPECT_EQ(items[1].destination, "y>>z");
  EXPECT_EQ(items[2].source, "d/e.dat");
  EXPECT_EQ(items[2].destination, "f");
}

TEST(IsSafeRelativeName, Table) {
  struct Case {
    std::string name;
    bool safe;
  } cases[] = {
      {"a.dat", true},          {"dir/sub/a.dat", true},   {"dir\\a.dat", true},
      {"a/../b.dat", true},     {"./a.dat", true},         {"a//b", true},
      {"", false},              {"/etc/passwd", false},    {"\\windows\\x", false},
      {"C:\\x", false},         {"c:x", false},            {"../x", false},
      {"a/../../x", false},     {"a\\..\\..\\x", false},   {"..", false},
      {".", false},             {"a/..", false},           {"x/../../etc/y", false},
      {std::string("a.dat\0.bak", 10), false},             {std::string("\0", 1), false},
      {std::string("dir/\0/a", 7), false},
      {"x/../C:y", false},      {"a/b:stream", false},     {"a:", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafeRelativeName(c.name), c.safe) << c.name;
}

TEST(NormalizeRelative, ResolvesDotsAndSeparators) {
  EXPECT_EQ(NormalizeRelative("a/./b\\..\\c//d"), "a/c/d");
  EXPECT_EQ(NormalizeRelative("backup\\a.dat"), "backup/a.dat");
}

TEST(PackageLowerAscii, OnlyAsciiLetters) {
  EXPECT_EQ(LowerAscii("DEL_LIST.TXT"), "del_list.txt");
  EXPECT_EQ(LowerAscii("\xC4\xE3" "Ab"), "\xC4\xE3" "ab");
}

}  // namespace
}  // namespace kestra::patch
