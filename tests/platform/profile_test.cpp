#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdlib>
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
       "Setting", "MICROVER", "1", "[Setting]\r\nVersion=1.0.0\r\nmicrover=1\r\nX=y\r\n"},
      {"append to section before the next", "[A]\r\nk=1\r\n\r\n[B]\r\nz=2\r\n", "A", "n", "v",
       "[A]\r\nk=1\r\nn=v\r\n\r\n[B]\r\nz=2\r\n"},
      {"new section at the end", "[A]\r\nk=1", "B", "n", "v", "[A]\r\nk=1\r\n[B]\r\nn=v\r\n"},
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

// Where the profile functions of the system are known to behave in a way a
// naive INI reader would not, the file functions behave the same. Each case
// starts from the file's bytes and either reads one value or writes one and
// compares the whole file afterwards.
std::string Utf16(std::string_view ascii) {  // ASCII only: each byte, then 0
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}
const std::string kBom = "\xFF\xFE";

TEST(ProfileFile, BehavesLikeTheSystemFunctions) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string file;
    const char* section;
    const char* key;
    const char* value;  // nullptr: read; otherwise write this value
    std::string expected;  // read: the value; write: the file afterwards
  };
  const Case cases[] = {
      {"a CR alone ends no line", "[A]\rk=v\r", "A", "k", nullptr, "d"},
      {"a NUL inside a value ends it", "[A]\r\nk=ab\0cd\r\n"s, "A", "k", nullptr, "ab"},
      {"a NUL ends a section name", "[A\0junk]\r\nk=v\r\n"s, "A", "k", nullptr, "v"},
      {"a NUL ends a key name", "[A]\r\nk\0junk=v\r\n"s, "A", "k", nullptr, "v"},
      {"GBK trail byte ] closes the section name", "[\x81]x]\r\nk=v\r\n", "\x81", "k", nullptr, "v"},
      {"so the whole character finds nothing", "[\x81]x]\r\nk=v\r\n", "\x81]x", "k", nullptr, "d"},
      {"UTF-16 with its mark is read",
       kBom + Utf16("[A]\r\nk=") + "\xF4\x66\xB0\x65" + Utf16("\r\n"), "A", "k", nullptr,
       "更新"},
      {"UTF-16 is written back as UTF-16", kBom + Utf16("[A]\r\nk=v\r\n"), "A", "n", "更新",
       kBom + Utf16("[A]\r\nk=v\r\nn=") + "\xF4\x66\xB0\x65" + Utf16("\r\n")},
      {"UTF-16 new section", kBom + Utf16("[A]\r\nk=v\r\n"), "B", "x", "1",
       kBom + Utf16("[A]\r\nk=v\r\n[B]\r\nx=1\r\n")},
      {"blanks around arguments on reads", "[A]\r\nk=v\r\n", " A ", "\tk ", nullptr, "v"},
      {"blanks around arguments on writes", "[A]\r\nk=v\r\n", " A ", " k ", "1", "[A]\r\nk=1\r\n"},
      {"blank-padded new section is written trimmed", "[A]\r\nk=v\r\n", " B ", " x ", "1",
       "[A]\r\nk=v\r\n[B]\r\nx=1\r\n"},
      {"no empty line before an appended section", "[A]\r\nk=v", "B", "x", "1",
       "[A]\r\nk=v\r\n[B]\r\nx=1\r\n"},
      {"replacing keeps the file's spelling of the key", "[Setting]\r\nmicrover=5\r\n", "Setting",
       "MICROVER", "1", "[Setting]\r\nmicrover=1\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kestra::test::TempDir dir;
    dir.Write("p.ini", c.file);
    if (c.value == nullptr) {
      EXPECT_EQ(platform::profile::GetString(dir / "p.ini", c.section, c.key, "d"), c.expected);
    } else {
      ASSERT_TRUE(platform::profile::WriteString(dir / "p.ini", c.section, c.key, c.value));
      EXPECT_EQ(dir.Read("p.ini"), c.expected);
      // A second identical write changes nothing, and the value reads back.
      ASSERT_TRUE(platform::profile::WriteString(dir / "p.ini", c.section, c.key, c.value));
      EXPECT_EQ(dir.Read("p.ini"), c.expected);
      EXPECT_EQ(platform::profile::GetString(dir / "p.ini", c.section, c.key, "d"), c.value);
    }
  }
}

// A FIFO (or any file that is not a regular file) in a profile's place is
// unreadable: reads give the default at once and writes fail, where an open
// would otherwise wait for a writer for ever.
TEST(ProfileFile, FifoInPlaceOfTheFileIsUnreadable) {
  kestra::test::TempDir dir;
  const std::string fifo = dir / "update.ini";
  ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  EXPECT_EQ(platform::profile::GetString(fifo, "Setting", "Version", "0.0.0"), "0.0.0");
  EXPECT_FALSE(platform::profile::WriteString(fifo, "Setting", "Version", "1.0.0"));
  EXPECT_FALSE(platform::profile::DeleteSection(fifo, "Setting"));
  EXPECT_FALSE(platform::fs::IsRegularFile(fifo));
  EXPECT_TRUE(platform::fs::Exists(fifo));  // left as it was
}

TEST(ProfileFile, WriteCreatesFileAndReadsBack) {
  kestra::test::TempDir dir;
  std::string file = dir / "sub/../update.ini";
  platform::fs::MakeDirectories(dir / "sub");
  EXPECT_EQ(platform::profile::GetString(file, "Setting", "Version", "0.0.0"), "0.0.0");
  ASSERT_TRUE(platform::profile::WriteString(file, "Setting", "Version", "2.5.17"));
  ASSERT_TRUE(platform::profile::WriteString(file, "Other", "Key", "v"));
  EXPECT_EQ(platform::profile::GetString(file, "setting", "VERSION", "0.0.0"), "2.5.17");
  EXPECT_EQ(dir.Read("update.ini"), "[Setting]\r\nVersion=2.5.17\r\n[Other]\r\nKey=v\r\n");
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
