// The torrent and seed documents: what is accepted, what makes them
// unreadable, and that the writer and the reader agree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/seed_limits.h"
#include "downloader/storage/torrent.h"
#include "platform/fs.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

Md5Digest Bytes(std::initializer_list<int> values) {
  Md5Digest d{};
  std::size_t i = 0;
  for (int v : values) d[i++] = static_cast<std::uint8_t>(v);
  return d;
}

TEST(Md5TextTest, DigitsPairsPaddingAndBadDigits) {
  struct Case {
    std::string text;
    Md5Digest expected;
  };
  const Md5Digest counting =
      Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff});
  Md5Digest short_text{};
  short_text.fill(0xEF);  // a NUL digit counts as -1: -1 * 16 + -1
  short_text[0] = 0xAB;
  Md5Digest bad_digits = counting;
  bad_digits[0] = 0xFF;  // "0g": 0 * 16 - 1
  bad_digits[1] = 0xEF;  // "zz"
  bad_digits[2] = 0xF2;  // "-2": -1 * 16 + 2
  const Case cases[] = {
      {"00112233445566778899aabbccddeeff", counting},
      {"00112233445566778899AABBCCDDEEFF", counting},
      {"00112233445566778899aabbccddeeff0123", counting},  // cut to 32
      {"ab", short_text},
      {"0gzz-233445566778899aabbccddeeff", bad_digits},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMd5Text(c.text), c.expected) << c.text;
  EXPECT_EQ(Md5Text(counting), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(Md5Text(Md5Of("")), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(SafeNameTest, OnlyNamesInsideTheDownloadDirectory) {
  const char* good[] = {"a.bin", "sub/b.txt", "sub\\b.txt", "a..b", "...", "./x", "数据/文件.dat", "a/b/c/d"};
  const char* bad[] = {"",           "/etc/passwd", "\\windows", "C:\\x",     "c:x",    "..",
                       "../x",       "a/../../x",   "a\\..\\b",  "a/..",      "a\tb",   "a\nb",
                       "x:stream"};
  for (const char* name : good) EXPECT_TRUE(IsSafeRelativeName(name)) << name;
  for (const char* name : bad) EXPECT_FALSE(IsSafeRelativeName(name)) << name;
  EXPECT_TRUE(IsSafeRelativeName(std::string(kMaxNameBytes, 'a')));
  EXPECT_FALSE(IsSafeRelativeName(std::string(kMaxNameBytes + 1, 'a')));
}

TEST(DecimalTest, StrictNumbers) {
  std::uint32_t u = 7;
  EXPECT_TRUE(ParseDecimalU32("4294967295", u));
  EXPECT_EQ(u, 4294967295u);
  EXPECT_TRUE(ParseDecimalU32(" 12 ", u));
  EXPECT_EQ(u, 12u);
  for (const char* bad : {"4294967296", "-1", "12abc", "", " ", "0x10", "+5"}) {
    EXPECT_FALSE(ParseDecimalU32(bad, u)) << bad;
  }
  std::int32_t i = 0;
  EXPECT_TRUE(ParseDecimalI32("-2147483648", i));
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_FALSE(ParseDecimalI32("2147483648", i));
  std::uint64_t w = 0;
  EXPECT_TRUE(ParseDecimalU64("18446744073709551615", w));
  EXPECT_FALSE(ParseDecimalU64("18446744073709551616", w));
}

// --- torrent ---

std::string Torrent(const std::string& server, const std::string& exist, const std::string& extra = "") {
  return "<?xml version=\"1.0\"?><Root><Server>" + server + "</Server>" + extra + "<Exist>" + exist +
         "</Exist></Root>";
}
const std::string kSeedFile = "<File id=\"0\" name=\"t.seed\" size=\"99\" md5=\"00112233445566778899aabbccddeeff\"/>";
const std::string kHttp = "<Http url=\"http://127.0.0.1:9/a\" factor=\"3\"/>";

TEST(TorrentTest, Rejections) {
  struct Case {
    const char* why;
    std::string text;
  };
  const Case cases[] = {
      {"not XML", "this is not xml"},
      {"unclosed", "<Root><Exist>"},
      {"no Root", "<Other><Server>" + kHttp + "</Server><Exist>" + kSeedFile + "</Exist></Other>"},
      {"no Exist", "<Root><Server>" + kHttp + "</Server></Root>"},
      {"Exist without File", Torrent(kHttp, "<Seed id=\"0\" name=\"t.seed\" size=\"99\" md5=\"00\"/>")},
      {"seed size 0", Torrent(kHttp, "<File id=\"0\" name=\"t.seed\" size=\"0\" md5=\"00\"/>")},
      {"seed without md5", Torrent(kHttp, "<File id=\"0\" name=\"t.seed\" size=\"9\"/>")},
      {"seed without id", Torrent(kHttp, "<File name=\"t.seed\" size=\"9\" md5=\"00\"/>")},
      {"seed size not a number", Torrent(kHttp, "<File id=\"0\" name=\"t.seed\" size=\"9x\" md5=\"00\"/>")},
      {"seed size beyond 32 bits", Torrent(kHttp, "<File id=\"0\" name=\"t.seed\" size=\"4294967296\" md5=\"00\"/>")},
      {"seed name leaves the server folder", Torrent(kHttp, "<File id=\"0\" name=\"../t.seed\" size=\"9\" md5=\"00\"/>")},
      {"no Http and no Tracker", Torrent("", kSeedFile)},
      {"only incomplete trackers", Torrent("<Tracker ip=\"127.0.0.1\"/><Tracker port=\"80\"/>", kSeedFile)},
      {"too many servers", Torrent([] {
         std::string s;
         for (std::size_t i = 0; i <= kMaxTorrentServers; ++i) s += "<Http url=\"http://127.0.0.1/\"/>";
         return s;
       }(), kSeedFile)},
      {"line break in a CDN address", Torrent("<Http url=\"http://127.0.0.1/&#13;&#10;Host: x\"/>", kSeedFile)},
      {"control character in the configuration path",
       Torrent(kHttp, kSeedFile, "<Extra><DefaultConfigFile default_config_file=\"a&#10;b\"/></Extra>")},
      {"larger than the bound", Torrent(kHttp, kSeedFile, "<!--" + std::string(kMaxTorrentBytes, 'x') + "-->")},
  };
  for (const Case& c : cases) EXPECT_FALSE(ParseTorrent(c.text).has_value()) << c.why;
}

TEST(TorrentTest, FieldsAndDefaults) {
  const std::string text = Torrent(
      "<Http url=\"http://127.0.0.1:9/a\" factor=\"-4\"/><Http/><Http url=\"http://127.0.0.1:9/b\" factor=\"x\"/>"
      "<Tracker ip=\"127.0.0.1\" port=\"7000\"/><Tracker ip=\"127.0.0.2\"/>"
      "<Tracker ip=\"127.0.0.3\" port=\"70000\"/><Tracker ip=\"127.0.0.5&#10;\" port=\"1\"/>"
      "<Tracker ip=\"127.0.0.4\" port=\"7001\"/>",
      "<Other/>" + kSeedFile + "<File id=\"5\" name=\"second\" size=\"1\" md5=\"00\"/>",
      "<Extra><TotalSize size=\"123456789012\"/><DefaultConfigFile default_config_file=\"cfg/server.ini\"/></Extra>"
      "<NonExist><File name=\"x\"/></NonExist>");
  const std::optional<TorrentInfo> info = ParseTorrent(text);
  ASSERT_TRUE(info.has_value());
  const std::vector<TorrentCdn> cdns = {{"http://127.0.0.1:9/a", -4}, {"", 0}, {"http://127.0.0.1:9/b", 0}};
  EXPECT_EQ(info->cdnList, cdns);
  const std::vector<TorrentTracker> trackers = {{"127.0.0.1", 7000}, {"127.0.0.4", 7001}};
  EXPECT_EQ(info->trackers, trackers);
  EXPECT_EQ(info->totalSize, 123456789012u);
  EXPECT_EQ(info->defaultConfigFile, "cfg/server.ini");
  EXPECT_EQ(info->seed.name, "t.seed");  // the first File
  EXPECT_EQ(info->seed.size, 99u);
  EXPECT_EQ(Md5Text(info->seed.md5), "00112233445566778899aabbccddeeff");

  // A tracker alone is enough; no Extra leaves the defaults.
  const std::optional<TorrentInfo> tracker_only = ParseTorrent(Torrent("<Tracker ip=\"127.0.0.1\" port=\"1\"/>", kSeedFile));
  ASSERT_TRUE(tracker_only.has_value());
  EXPECT_TRUE(tracker_only->cdnList.empty());
  EXPECT_EQ(tracker_only->totalSize, 0u);
  EXPECT_EQ(tracker_only->defaultConfigFile, "");
}

TEST(TorrentTest, WriterAndReaderAgree) {
  TorrentInfo info;
  info.cdnList = {{"http://127.0.0.1:8080/burrow/p&q", 10}, {"http://127.0.0.1:8081/x", -1}};
  info.trackers = {{"127.0.0.1", 7000}};
  info.totalSize = 5000000000ull;
  info.defaultConfigFile = "config/\"server\".ini";
  info.seed.name = "任务.data.seed";
  info.seed.size = 4242;
  info.seed.md5 = Md5Of("seed");
  const std::optional<TorrentInfo> back = ParseTorrent(WriteTorrent(info));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->cdnList, info.cdnList);
  EXPECT_EQ(back->trackers, info.trackers);
  EXPECT_EQ(back->totalSize, info.totalSize);
  EXPECT_EQ(back->defaultConfigFile, info.defaultConfigFile);
  EXPECT_EQ(back->seed.name, info.seed.name);
  EXPECT_EQ(back->seed.size, info.seed.size);
  EXPECT_EQ(back->seed.md5, info.seed.md5);
}

// --- seed ---

std::string Part(std::uint32_t id, std::uint64_t start, std::uint64_t length) {
  return "<Part id=\"" + std::to_string(id) + "\" start=\"" + std::to_string(start) + "\" length=\"" +
         std::to_string(length) + "\" md5=\"00112233445566778899aabbccddeeff\"/>";
}
std::string File(const std::string& name, std::uint64_t size, const std::string& parts, std::uint32_t id = 1) {
  return "<File id=\"" + std::to_string(id) + "\" name=\"" + name + "\" size=\"" + std::to_string(size) +
         "\" md5=\"ffeeddccbbaa99887766554433221100\">" + parts + "</File>";
}
std::string Seed(const std::string& exist, const std::string& non_exist = "") {
  return "<?xml version=\"1.0\"?><Root><Exist>" + exist + "</Exist><NonExist>" + non_exist + "</NonExist></Root>";
}

TEST(SeedTest, Unreadable) {
  struct Case {
    const char* why;
    std::string text;
  };
  const Case cases[] = {
      {"not XML", "garbage"},
      {"no Root", "<Exist/>"},
      {"File without md5", Seed("<File id=\"1\" name=\"a\" size=\"4\">" + Part(0, 0, 4) + "</File>")},
      {"File without name", Seed("<File id=\"1\" size=\"4\" md5=\"00\">" + Part(0, 0, 4) + "</File>")},
      {"Part without length",
       Seed(File("a", 4, "<Part id=\"0\" start=\"0\" md5=\"00112233445566778899aabbccddeeff\"/>"))},
      {"Part id not a number", Seed(File("a", 4, "<Part id=\"x\" start=\"0\" length=\"4\" md5=\"00\"/>"))},
      {"size beyond 32 bits", Seed(File("a", 4294967296ull, Part(0, 0, 4294967295ull) + Part(1, 4294967295ull, 1)))},
      {"gap", Seed(File("a", 10, Part(0, 0, 4) + Part(1, 5, 5)))},
      {"overlap", Seed(File("a", 10, Part(0, 0, 6) + Part(1, 4, 6)))},
      {"past the end", Seed(File("a", 10, Part(0, 0, 6) + Part(1, 6, 6)))},
      {"short of the end", Seed(File("a", 10, Part(0, 0, 6)))},
      {"descending", Seed(File("a", 10, Part(1, 5, 5) + Part(0, 0, 5)))},
      {"length 0", Seed(File("a", 10, Part(0, 0, 10) + Part(1, 10, 0)))},
      {"length 0 in an empty file", Seed(File("a", 0, Part(0, 0, 0)))},
      {"parts of a non-empty file missing", Seed(File("a", 10, ""))},
      {"sum that wraps 32 bits", Seed(File("a", 5, Part(0, 0, 4294967295ull) + Part(1, 4294967295ull, 6)))},
      {"same part id twice", Seed(File("a", 10, Part(0, 0, 5) + Part(0, 5, 5)))},
      {"absolute name", Seed(File("/tmp/evil", 4, Part(0, 0, 4)))},
      {"backslash root", Seed(File("\\evil", 4, Part(0, 0, 4)))},
      {"drive letter", Seed(File("C:\\evil", 4, Part(0, 0, 4)))},
      {"leaves through ..", Seed(File("sub/../../evil", 4, Part(0, 0, 4)))},
      {"delete list absolute", Seed("", "<File name=\"/etc/passwd\"/>")},
      {"delete list drive letter", Seed("", "<File name=\"d:evil\"/>")},
      {"delete list ..", Seed("", "<File name=\"..\\evil\"/>")},
  };
  for (const Case& c : cases) EXPECT_FALSE(ParseSeedText(c.text).has_value()) << c.why;
}

TEST(SeedTest, ElementsTakenAndSkipped) {
  // No Exist at all: no files, and that is fine.
  std::optional<SeedDocument> empty = ParseSeedText("<Root/>");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->files.empty());
  EXPECT_TRUE(empty->delete_list.empty());

  // Files start at the first element named File and then take every element;
  // parts likewise from the first Part. NonExist takes every named element.
  const std::string text = Seed(
      "<Skipped id=\"9\" name=\"skip\" size=\"0\" md5=\"00\"/>" + File("a", 0, "", 1) +
          "<Other id=\"2\" name=\"dir/b\" size=\"7\" md5=\"00\"><X/>" + Part(0, 0, 3) +
          "<Piece id=\"1\" start=\"3\" length=\"4\" md5=\"00\"/></Other>",
      "<File name=\"old/x.dll\"/><Gone/><Any name=\"y.txt\"/>");
  std::optional<SeedDocument> seed = ParseSeedText(text);
  ASSERT_TRUE(seed.has_value());
  ASSERT_EQ(seed->files.size(), 2u);
  EXPECT_EQ(seed->files[0].name, "a");
  EXPECT_EQ(seed->files[0].size, 0u);
  EXPECT_TRUE(seed->files[0].parts.empty());
  EXPECT_EQ(seed->files[1].id, 2u);
  EXPECT_EQ(seed->files[1].name, "dir/b");
  ASSERT_EQ(seed->files[1].parts.size(), 2u);
  EXPECT_EQ(seed->files[1].parts[1].start, 3u);
  EXPECT_EQ(seed->files[1].parts[1].length, 4u);
  EXPECT_EQ(seed->delete_list, (std::vector<std::string>{"old/x.dll", "y.txt"}));
}

TEST(SeedTest, LargestFileTiles) {
  std::optional<SeedDocument> seed =
      ParseSeedText(Seed(File("big", 4294967295ull, Part(0, 0, 4294967294ull) + Part(1, 4294967294ull, 1))));
  ASSERT_TRUE(seed.has_value());
  EXPECT_EQ(seed->files[0].size, 4294967295u);
}

SeedDocument SampleSeed() {
  SeedDocument seed;
  FileEntry a;
  a.id = 3;
  a.name = "数据/a&b<c>'d\".bin";
  a.size = 10;
  a.md5 = Md5Of("a");
  a.parts = {{7, 0, 6, Md5Of("p0")}, {8, 6, 4, Md5Of("p1")}};
  FileEntry b;
  b.id = 4;
  b.name = "empty";
  b.md5 = Md5Of("");
  seed.files = {a, b};
  seed.delete_list = {"old/旧.dll", "x"};
  return seed;
}

void ExpectSameSeed(const SeedDocument& x, const SeedDocument& y) {
  ASSERT_EQ(x.files.size(), y.files.size());
  for (std::size_t i = 0; i < x.files.size(); ++i) {
    EXPECT_EQ(x.files[i].id, y.files[i].id);
    EXPECT_EQ(x.files[i].name, y.files[i].name);
    EXPECT_EQ(x.files[i].size, y.files[i].size);
    EXPECT_EQ(x.files[i].md5, y.files[i].md5);
    ASSERT_EQ(x.files[i].parts.size(), y.files[i].parts.size());
    for (std::size_t j = 0; j < x.files[i].parts.size(); ++j) {
      EXPECT_EQ(x.files[i].parts[j].id, y.files[i].parts[j].id);
      EXPECT_EQ(x.files[i].parts[j].start, y.files[i].parts[j].start);
      EXPECT_EQ(x.files[i].parts[j].length, y.files[i].parts[j].length);
      EXPECT_EQ(x.files[i].parts[j].md5, y.files[i].parts[j].md5);
    }
  }
  EXPECT_EQ(x.delete_list, y.delete_list);
}

TEST(SeedTest, WriterAndReaderAgreeThroughGzip) {
  const SeedDocument seed = SampleSeed();
  const std::string text = WriteSeedText(seed);
  const std::string gz = GzipBytes(text);
  ASSERT_GE(gz.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1F);
  const std::optional<std::string> inflated = InflateSeed(gz);
  ASSERT_TRUE(inflated.has_value());
  EXPECT_EQ(*inflated, text);
  std::optional<SeedDocument> back = ParseSeedText(*inflated);
  ASSERT_TRUE(back.has_value());
  ExpectSameSeed(seed, *back);

  // Plain text passes through the reader unchanged; two members read as one text.
  EXPECT_EQ(InflateSeed(text), text);
  EXPECT_EQ(InflateSeed(GzipBytes("<Ro") + GzipBytes("ot/>")), std::optional<std::string>("<Root/>"));
}

TEST(SeedTest, BrokenOrOversizedGzipIsRefused) {
  const std::string gz = GzipBytes(WriteSeedText(SampleSeed()));
  EXPECT_FALSE(InflateSeed(gz.substr(0, gz.size() / 2)).has_value()) << "truncated";
  std::string flipped = gz;
  flipped[gz.size() / 2] = static_cast<char>(flipped[gz.size() / 2] ^ 0x55);
  EXPECT_FALSE(InflateSeed(flipped).has_value()) << "corrupted";
  EXPECT_FALSE(InflateSeed(std::string("\x1f\x8b", 2)).has_value()) << "header only";
  // A small file that inflates beyond the bound is refused, not loaded.
  // (Members of 1 MiB each, concatenated: exactly the bound, then one byte more.)
  const std::string mib = GzipBytes(std::string(1u << 20, ' '));
  std::string at_bound;
  for (std::size_t i = 0; i < kMaxSeedTextBytes >> 20; ++i) at_bound += mib;
  const std::optional<std::string> full = InflateSeed(at_bound);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->size(), kMaxSeedTextBytes);
  const std::string bomb = at_bound + GzipBytes(" ");
  EXPECT_LT(bomb.size(), kMaxSeedFileBytes);
  EXPECT_FALSE(InflateSeed(bomb).has_value());
}

TEST(SeedTest, ReadSeedFileRefusesFilesBeyondTheBound) {
  kestra::test::TempDir dir;
  const SeedDocument seed = SampleSeed();
  platform::fs::WriteWholeFile(dir / "seed", GzipBytes(WriteSeedText(seed)));
  std::optional<SeedDocument> back = ReadSeedFile(dir / "seed");
  ASSERT_TRUE(back.has_value());
  ExpectSameSeed(seed, *back);

  // Hundreds of megabytes on disk (sparse) are refused before reading.
  platform::fs::File big;
  ASSERT_TRUE(big.Open(dir / "big", platform::fs::Access::Write, platform::fs::Disposition::CreateAlways));
  ASSERT_TRUE(big.WriteAll(GzipBytes("<Root/>")));
  ASSERT_TRUE(big.SetLength(300ll << 20));
  big.Close();
  EXPECT_FALSE(ReadSeedFile(dir / "big").has_value());
  EXPECT_FALSE(ReadSeedFile(dir / "missing").has_value());
}

}  // namespace
}  // namespace zelt
