#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::profile::Edit;
using platform::profile::LookUp;

struct LookUpCase {
  const char* name;
  const char* text;
  const char* section;
  const char* key;
  const char* default_value;
  std::size_t buffer;
  std::string expected;
};

void PrintTo(const LookUpCase& c, std::ostream* os) { *os << c.name; }

class ProfileLookUp : public testing::TestWithParam<LookUpCase> {};

TEST_P(ProfileLookUp, ReadsLikeTheProfileFunctions) {
  const LookUpCase& c = GetParam();
  EXPECT_EQ(LookUp(c.text, c.section, c.key, c.default_value, c.buffer), c.expected) << c.name;
}

const std::string kLong(1500, 'x');
const std::string kLongText = "[Setting]\nKey=" + kLong + "\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileLookUp,
    testing::Values(
        LookUpCase{"plain", "[Setting]\r\nVersion=1.2.3\r\n", "Setting", "Version", "0.0.0", 1024, "1.2.3"},
        LookUpCase{"case of section and key", "[setting]\nVERSION=4\n", "Setting", "version", "d", 1024, "4"},
        LookUpCase{"blanks around", "  [ Setting ]  \n  Key  =  a b  \n", "Setting", "Key", "d", 1024, "a b"},
        LookUpCase{"missing key", "[Setting]\nOther=1\n", "Setting", "Key", "dflt", 1024, "dflt"},
        LookUpCase{"missing section", "[Other]\nKey=1\n", "Setting", "Key", "dflt", 1024, "dflt"},
        LookUpCase{"empty text", "", "Setting", "Key", "dflt", 1024, "dflt"},
        LookUpCase{"default loses trailing blanks", "", "S", "K", "abc   ", 1024, "abc"},
        LookUpCase{"key in the next section is not ours", "[Setting]\nA=1\n[Next]\nKey=2\n", "Setting", "Key", "d", 1024, "d"},
        LookUpCase{"first of two equal keys", "[S]\nK=first\nK=second\n", "S", "K", "d", 1024, "first"},
        LookUpCase{"first section of two equal ones", "[S]\nA=1\n[S]\nK=2\n", "S", "K", "d", 1024, "d"},
        LookUpCase{"garbage lines are skipped", "[S]\n\x01\x02garbage\n=novalue\nK=ok\n", "S", "K", "d", 1024, "ok"},
        LookUpCase{"line without = is no key", "[S]\nK\n", "S", "K", "d", 1024, "d"},
        LookUpCase{"quotes removed", "[S]\nK=\"quoted value\"\n", "S", "K", "d", 1024, "quoted value"},
        LookUpCase{"single quote kept", "[S]\nK=\"half\n", "S", "K", "d", 1024, "\"half"},
        LookUpCase{"empty value", "[S]\nK=\n", "S", "K", "d", 1024, ""},
        LookUpCase{"value with =", "[S]\nK=a=b\n", "S", "K", "d", 1024, "a=b"},
        LookUpCase{"keys before any section", "K=1\n[S]\n", "S", "K", "d", 1024, "d"},
        LookUpCase{"unclosed section header", "[S\nK=v\n", "S", "K", "d", 1024, "v"},
        LookUpCase{"no final line break", "[S]\nK=end", "S", "K", "d", 1024, "end"},
        LookUpCase{"value cut to the buffer", kLongText.c_str(), "Setting", "Key", "d", 1024, kLong.substr(0, 1023)},
        LookUpCase{"default cut to the buffer", "", "S", "K", "abcdef", 4, "abc"},
        LookUpCase{"chinese value", "[HdExp]\nExpCheckName=资源包\n", "HdExp", "ExpCheckName", "d", 1024, "资源包"}),
    [](const testing::TestParamInfo<LookUpCase>& info) {
      std::string n = info.param.name;
      for (char& ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(ProfileCase, GbkTrailBytesAreNotFolded) {
  // Two GBK characters that differ only by a trail byte that is an ASCII
  // letter in different case: 0x81 0x41 and 0x81 0x61.
  EXPECT_FALSE(platform::profile::EqualsIgnoreCase("\x81\x41", "\x81\x61"));
  EXPECT_TRUE(platform::profile::EqualsIgnoreCase("Ab\x81\x41", "aB\x81\x41"));
}

struct EditCase {
  const char* name;
  const char* before;
  const char* section;
  const char* key;    // nullptr: delete the section
  const char* value;  // nullptr: delete the key
  const char* after;
};

TEST(ProfileEdit, Table) {
  const EditCase cases[] = {
      {"new file", "", "Setting", "MICROVER", "1", "[Setting]\r\nMICROVER=1\r\n"},
      {"replace keeps other lines", "[Setting]\r\nVersion=1.0.0\r\nmicrover=5\r\nX=y\r\n",
       "Setting", "MICROVER", "1", "[Setting]\r\nVersion=1.0.0\r\nMICROVER=1\r\nX=y\r\n"},
      {"append to section before the next", "[A]\r\nk=1\r\n\r\n[B]\r\nz=2\r\n", "A", "n", "v",
       "[A]\r\nk=1\r\nn=v\r\n\r\n[B]\r\nz=2\r\n"},
      {"new section at the end", "[A]\r\nk=1", "B", "n", "v", "[A]\r\nk=1\r\n\r\n[B]\r\nn=v\r\n"},
      {"lf line ends are kept", "[A]\nk=1\nj=2\n", "A", "k", "9", "[A]\nk=9\nj=2\n"},
      {"delete a key", "[A]\r\nk=1\r\nj=2\r\n", "A", "k", nullptr, "[A]\r\nj=2\r\n"},
      {"delete a missing key changes nothing", "[A]\r\nj=2\r\n", "A", "k", nullptr, "[A]\r\nj=2\r\n"},
      {"delete a section", "[A]\r\nk=1\r\n[B]\r\nj=2\r\n", "A", nullptr, nullptr, "[B]\r\nj=2\r\n"},
      {"section case ignored", "[SETTING]\r\nk=1\r\n", "Setting", "k", "2", "[SETTING]\r\nk=2\r\n"},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> key, value;
    if (c.key) key = c.key;
    if (c.value) value = c.value;
    EXPECT_EQ(Edit(c.before, c.section, key, value), c.after) << c.name;
  }
}

TEST(ProfileFile, WriteCreatesFileAndReadsBack) {
  kestra::test::TempDir dir;
  std::string file = dir / "sub/../update.ini";
  platform::fs::MakeDirectories(dir / "sub");
  EXPECT_EQ(platform::profile::GetString(file, "Setting", "Version", "0.0.0"), "0.0.0");
  ASSERT_TRUE(platform::profile::WriteString(file, "Setting", "Version", "2.5.17"));
  ASSERT_TRUE(platform::profile::WriteString(file, "Other", "Key", "v"));
  EXPECT_EQ(platform::profile::GetString(file, "setting", "VERSION", "0.0.0"), "2.5.17");
  EXPECT_EQ(dir.Read("update.ini"), "[Setting]\r\nVersion=2.5.17\r\n\r\n[Other]\r\nKey=v\r\n");
  EXPECT_FALSE(dir.Exists("update.ini.kestra-new"));
}

TEST(ProfileFile, ReadOnlyFileIsNotRewritten) {
  kestra::test::TempDir dir;
  dir.Write("update.ini", "[Setting]\r\nmicrover=5\r\n");
  ASSERT_TRUE(platform::fs::SetReadOnly(dir / "update.ini", true));
  EXPECT_FALSE(platform::profile::WriteString(dir / "update.ini", "Setting", "MICROVER", "1"));
  EXPECT_EQ(dir.Read("update.ini"), "[Setting]\r\nmicrover=5\r\n");
}

TEST(ProfileFile, WriteIntoMissingDirectoryFailsWithoutCreatingAnything) {
  kestra::test::TempDir dir;
  EXPECT_FALSE(platform::profile::WriteString(dir / "missing/update.ini", "S", "K", "v"));
  EXPECT_FALSE(dir.Exists("missing"));
}

}  // namespace
