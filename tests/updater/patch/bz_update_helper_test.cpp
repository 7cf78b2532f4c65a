#include "updater/patch/bz_update_helper.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/updater/patch/patch_fixture.h"

namespace kestra::patch {
namespace {

using test::Addf;
using test::Le32;
using test::Modi;
using test::Record;
using test::WritePackage;

const std::uint32_t kVersion = (1u << 24) | (2u << 16) | 3u;

struct ReadResult {
  std::vector<std::string> names;
  std::vector<std::string> data;
  bool end = false;
  std::string error;
};

ReadResult ReadAll(BzUpdateHelper& reader) {
  ReadResult result;
  for (;;) {
    const std::uint8_t* record = reader.ReadSection();
    if (record == nullptr) break;
    const SectionView view = ViewSection(record);
    result.names.emplace_back(view.name);
    result.data.emplace_back(reinterpret_cast<const char*>(view.data), view.data_length);
  }
  result.end = reader.end_flag();
  result.error = reader.error_text();
  return result;
}

class BzUpdateHelperTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name = "patch1.2.3.tq") const { return dir_ / name; }
  kestra::test::TempDir dir_;
};

// How the end of the stream shows, by the length of the trailer behind the
// last section: the read that empties the stream reports its end, so up to
// 13 trailer bytes end the package; no trailer or one of 14 to 16 bytes
// makes a read fail.
TEST_F(BzUpdateHelperTest, TrailerLengths) {
  struct Case {
    std::size_t trailer;
    bool ends;
    const char* error;
  } cases[] = {
      {0, false, "读取UpdateSec头出错"},  {1, true, ""},  {5, true, ""},  {12, true, ""},
      {13, true, ""},                       {14, false, "读取UpdateSec 长度出错"},
      {16, false, "读取UpdateSec 长度出错"},
  };
  const std::string sections = Addf("a.txt", "alpha") + Modi("b.bin", 4, Record(1, "z"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trailer);
    WritePackage(Path(), kVersion, sections + std::string(c.trailer, '\0'));
    BzUpdateHelper reader;
    ASSERT_TRUE(reader.Open(kVersion, "patch1.2.3.tq", Path()));
    const ReadResult r = ReadAll(reader);
    EXPECT_EQ(r.names, (std::vector<std::string>{"a.txt", "b.bin"}));
    EXPECT_EQ(r.data[0], "alpha");
    EXPECT_EQ(r.end, c.ends);
    EXPECT_EQ(r.error, c.error);
  }
}

TEST_F(BzUpdateHelperTest, BothMagicsAreAccepted) {
  for (std::string_view magic : {kMagicDu1t, kMagicZb1t}) {
    WritePackage(Path(), kVersion, Addf("x", "1") + test::kTrailer4, magic);
    BzUpdateHelper reader;
    ASSERT_TRUE(reader.Open(kVersion, "p", Path())) << reader.error_text();
    const ReadResult r = ReadAll(reader);
    EXPECT_TRUE(r.end);
    EXPECT_EQ(r.names, std::vector<std::string>{"x"});
  }
}

TEST_F(BzUpdateHelperTest, OpenFailures) {
  // Missing file.
  {
    BzUpdateHelper reader;
    EXPECT_FALSE(reader.Open(kVersion, "patch1.2.3.tq", Path("missing.tq")));
    EXPECT_EQ(reader.error_text(),
              "打开更新数据文件[patch1.2.3.tq]失败!\n请确认更新时游戏不在运行。");
  }
  // A file of 8 bytes.
  {
    dir_.Write("short.tq", "DU1T1234");
    BzUpdateHelper reader;
    EXPECT_FALSE(reader.Open(kVersion, "short.tq", Path("short.tq")));
    EXPECT_EQ(reader.error_text(), "读取 short.tq 文件头信息失败");
  }
  // Another magic: refused before any decompression.
  {
    dir_.Write("magic.tq", "DU2T" + Le32(kVersion) + Le32(0) + "garbage");
    BzUpdateHelper reader;
    EXPECT_FALSE(reader.Open(kVersion, "magic.tq", Path("magic.tq")));
    EXPECT_EQ(reader.error_text(), "magic.tq 不是合法的更新文件");
  }
  // The version of another package.
  {
    WritePackage(Path(), kVersion + 1, Addf("x", "1") + test::kTrailer4);
    BzUpdateHelper reader;
    EXPECT_FALSE(reader.Open(kVersion, "patch1.2.3.tq", Path()));
    EXPECT_EQ(reader.error_text(), "patch1.2.3.tq 版本号不正确!");
    EXPECT_EQ(reader.header_version(), kVersion + 1);
  }
}

TEST_F(BzUpdateHelperTest, GarbageBehindAValidHeaderFailsTheFirstRead) {
  for (const std::string& body : {std::string("this is not bzip2 at all"), std::string(),
                                  std::string("BZh9\x31\x41\x59\x26\x53\x59", 10)}) {
    dir_.Write("g.tq", "ZB1T" + Le32(kVersion) + Le32(99) + body);
    BzUpdateHelper reader;
    ASSERT_TRUE(reader.Open(kVersion, "g.tq", Path("g.tq")));
    EXPECT_EQ(reader.ReadSection(), nullptr);
    EXPECT_FALSE(reader.end_flag());
    EXPECT_EQ(reader.error_text(), "读取UpdateSec头出错");
  }
}

TEST_F(BzUpdateHelperTest, TruncatedPackages) {
  WritePackage(Path("full.tq"), kVersion,
               Addf("one", std::string(3000, 'a')) + Addf("two", "bb") + test::kTrailer4);
  std::string full;
  ASSERT_TRUE(platform::fs::ReadWholeFile(Path("full.tq"), full));
  for (std::size_t keep : {full.size() - 1, full.size() / 2, std::size_t{13}, std::size_t{12}}) {
    SCOPED_TRACE(keep);
    dir_.Write("cut.tq", full.substr(0, keep));
    BzUpdateHelper reader;
    ASSERT_TRUE(reader.Open(kVersion, "cut.tq", Path("cut.tq")));
    const ReadResult r = ReadAll(reader);
    EXPECT_FALSE(r.end);
    EXPECT_FALSE(r.error.empty());
  }
}

TEST_F(BzUpdateHelperTest, LengthsBeyondTheStreamOrTheBounds) {
  struct Case {
    std::string stream;
    std::uint32_t max_data;
    const char* error;
  } cases[] = {
      // N larger than the rest of the stream.
      {Le32(kKindAddf) + Le32(0) + Le32(1000) + "ab", kMaxSectionDataLength,
       "读取UpdateSec 长度出错"},
      // N beyond what a name may be: refused before allocating.
      {Le32(kKindAddf) + Le32(0) + Le32(0xFFFFFFF0u) + std::string(40, 'n'),
       kMaxSectionDataLength, "内存不足, 读取UpdateSec 长度出错"},
      // D larger than the rest of the stream.
      {Le32(kKindAddf) + Le32(0) + Le32(2) + std::string("a\0", 2) + Le32(1u << 30) + "abc",
       kMaxSectionDataLength, "读取UpdateSec Data出错"},
      // D larger than memory allows.
      {Le32(kKindAddf) + Le32(0) + Le32(2) + std::string("a\0", 2) + Le32(0xFFFFFFFFu) + "abc",
       kMaxSectionDataLength, "内存不足, 读取UpdateSec Data出错"},
      {Addf("a", std::string(100, 'd')) + test::kTrailer4, 99,
       "内存不足, 读取UpdateSec Data出错"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    WritePackage(Path(), kVersion, c.stream);
    BzUpdateHelper reader;
    reader.set_max_data_length(c.max_data);
    ASSERT_TRUE(reader.Open(kVersion, "p", Path()));
    EXPECT_EQ(reader.ReadSection(), nullptr);
    EXPECT_FALSE(reader.end_flag());
    EXPECT_EQ(reader.error_text(), c.error);
  }
}

TEST_F(BzUpdateHelperTest, EmptyDataAndLargeSections) {
  const std::string big(3u << 20, 'q');
  WritePackage(Path(), kVersion,
               Modi("len.only", 77, "") + Addf("big", big) + Addf("DEL_LIST.TXT", "a\n") +
                   test::kTrailer4);
  BzUpdateHelper reader;
  ASSERT_TRUE(reader.Open(kVersion, "p", Path()));
  const ReadResult r = ReadAll(reader);
  EXPECT_TRUE(r.end) << r.error;
  ASSERT_EQ(r.names.size(), 3u);
  EXPECT_EQ(r.data[0], "");
  EXPECT_EQ(r.data[1], big);
  EXPECT_EQ(r.names[2], "DEL_LIST.TXT");
}

TEST_F(BzUpdateHelperTest, NoSectionsOnlyATrailer) {
  WritePackage(Path(), kVersion, test::kTrailer4);
  BzUpdateHelper reader;
  ASSERT_TRUE(reader.Open(kVersion, "p", Path()));
  EXPECT_EQ(reader.ReadSection(), nullptr);
  EXPECT_TRUE(reader.end_flag());
  EXPECT_EQ(reader.error_text(), "");
}

}  // namespace
}  // namespace kestra::patch
