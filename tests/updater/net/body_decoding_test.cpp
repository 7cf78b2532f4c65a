#include "updater/net/body_decoding.h"

#include <gtest/gtest.h>

#include "tests/updater/net/gzip_maker.h"

namespace {

using kestra::test::Gzip;

std::string Text(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + " 版本\r\n";
  text.resize(size);
  return text;
}

TEST(GunzipBody, DecodesGzipData) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096},
                           std::size_t{70000}, std::size_t{3} << 20}) {
    const std::string text = Text(size);
    std::string out;
    EXPECT_TRUE(NetModel::GunzipBody(Gzip(text), out)) << size;
    EXPECT_TRUE(out == text) << size;
  }
}

TEST(GunzipBody, JoinsMembersAndIgnoresTrailingData) {
  std::string out;
  ASSERT_TRUE(NetModel::GunzipBody(Gzip("first ") + Gzip("second"), out));
  EXPECT_EQ(out, "first second");
  ASSERT_TRUE(NetModel::GunzipBody(Gzip("only this") + "\r\n<junk>", out));
  EXPECT_EQ(out, "only this");
}

TEST(GunzipBody, PassesDataWithoutGzipMagicThrough) {
  for (std::string plain : {std::string(), std::string("\x1f"), std::string("not gzip at all"),
                            std::string("\x1f\x8a rest", 7), std::string("\x8b\x1f", 2)}) {
    std::string out = "stale";
    EXPECT_TRUE(NetModel::GunzipBody(plain, out));
    EXPECT_EQ(out, plain);
  }
}

TEST(GunzipBody, RefusesCorruptTruncatedAndOversizedStreams) {
  const std::string good = Gzip(Text(50000));
  std::string corrupt = good;
  corrupt[good.size() / 2] = static_cast<char>(corrupt[good.size() / 2] ^ 0x55);
  std::string bad_crc = good;
  bad_crc[good.size() - 6] = static_cast<char>(bad_crc[good.size() - 6] ^ 0x01);
  struct Case {
    const char* name;
    std::string data;
  } cases[] = {
      {"magic then garbage", std::string("\x1f\x8b", 2) + "garbage that is no deflate data"},
      {"magic only", std::string("\x1f\x8b", 2)},
      {"flipped byte", corrupt},
      {"wrong checksum", bad_crc},
      {"cut in the middle", good.substr(0, good.size() / 2)},
      {"cut before the trailer", good.substr(0, good.size() - 4)},
      {"second member corrupt", Gzip("a") + std::string("\x1f\x8b", 2) + "xx"},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    EXPECT_FALSE(NetModel::GunzipBody(c.data, out)) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(GunzipBody, RefusesBodiesThatInflateBeyondTheBound) {
  // 17 MiB of zeros compress to a few KiB.
  const std::string bomb = Gzip(std::string(NetModel::kMaxDecodedBodyBytes + (1 << 20), '\0'), 9);
  ASSERT_LT(bomb.size(), 100000u);
  std::string out;
  EXPECT_FALSE(NetModel::GunzipBody(bomb, out));
  EXPECT_TRUE(out.empty());

  EXPECT_TRUE(NetModel::GunzipBody(Gzip(std::string(1000, 'a')), out, 1000));
  EXPECT_FALSE(NetModel::GunzipBody(Gzip(std::string(1001, 'a')), out, 1000));
  EXPECT_FALSE(NetModel::GunzipBody(std::string(1001, 'a'), out, 1000));
}

TEST(Chunked, RecognisesTheTransferEncodingHeader) {
  EXPECT_TRUE(NetModel::IsChunked("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked"));
  EXPECT_TRUE(NetModel::IsChunked("HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\nX: y"));
  EXPECT_TRUE(NetModel::IsChunked("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked"));
  EXPECT_FALSE(NetModel::IsChunked("HTTP/1.1 200 OK\r\nContent-Length: 5"));
  EXPECT_FALSE(NetModel::IsChunked("HTTP/1.1 200 OK\r\nX-Note: Transfer-Encoding: chunked"));
  EXPECT_FALSE(NetModel::IsChunked(""));
}

TEST(Chunked, JoinsChunks) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world"},
      {"A;name=value\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n", "0123456789"},
      {"a \r\n0123456789\r\n00\r\n", "0123456789"},
      {"0\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_TRUE(NetModel::DecodeChunked(c.in, out)) << c.in;
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(Chunked, RefusesMalformedFraming) {
  const std::string cases[] = {
      "",
      "5\r\nhello",                    // no end of chunk
      "5\r\nhel",                      // cut
      "5\r\nhelloXX0\r\n\r\n",         // no line end after the data
      "zz\r\nhello\r\n0\r\n\r\n",      // not a size
      "5x\r\nhello\r\n0\r\n\r\n",      // junk after the size
      "\r\nhello\r\n",                 // empty size
      "5\r\nhello\r\n",                // no last chunk
      "FFFFFFFFFFFFFFFFFFFF\r\nx\r\n",  // size overflows
      std::string(1000, '1') + "\r\n",   // endless size line
  };
  for (const std::string& in : cases) {
    std::string out = "stale";
    EXPECT_FALSE(NetModel::DecodeChunked(in, out)) << in;
    EXPECT_TRUE(out.empty()) << in;
  }
  std::string out;
  EXPECT_FALSE(NetModel::DecodeChunked("5\r\nhello\r\n5\r\nhello\r\n0\r\n\r\n", out, 9));
}

}  // namespace
