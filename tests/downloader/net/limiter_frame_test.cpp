// Bandwidth limiters on a clock the test drives, and the frame codec.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "downloader/net/bandwidth_limiter.h"
#include "downloader/net/frame_codec.h"

namespace zelt {
namespace {

TEST(BandwidthLimiter, RateOf1024ReadsAtMost2048PerWindow) {
  BandwidthLimiter limiter(1024);
  std::uint32_t now = 10000;  // a window boundary
  std::uint64_t taken = 0;
  // A reader that wants 300 bytes every 100 ms gets what the quota allows.
  for (; now < 12000; now += 100) {
    std::uint64_t n = std::min<std::uint64_t>(300, limiter.Remaining(now));
    limiter.Consume(n, now);
    taken += n;
  }
  EXPECT_EQ(taken, 2048u);
  EXPECT_EQ(limiter.Remaining(11999), 0u);
  // The next window starts full, and the last one is measured.
  EXPECT_EQ(limiter.Remaining(12000), 2048u);
  EXPECT_EQ(limiter.MeasuredRate(12000), 1024u);
}

TEST(BandwidthLimiter, WindowsStartAtMultiplesAndIdleWindowsMeasureZero) {
  BandwidthLimiter limiter(1000);
  limiter.Consume(500, 2500);            // window 2000..3999
  EXPECT_EQ(limiter.Remaining(3999), 1500u);
  EXPECT_EQ(limiter.Remaining(4000), 2000u);  // new window at 4000, not 4500
  EXPECT_EQ(limiter.MeasuredRate(4000), 250u);
  limiter.Consume(2000, 4100);
  // More than one whole window without use: the measured rate is 0.
  EXPECT_EQ(limiter.MeasuredRate(9000), 0u);
}

TEST(BandwidthLimiter, RateChangesMoveWhatIsLeft) {
  struct Case {
    std::uint32_t from, to;
    std::uint64_t used, left;
  };
  const Case cases[] = {
      {1024, 2048, 1000, 4096 - 1000},  // quota 2048 -> 4096
      {1024, 512, 100, 924},            // 2048 - 100 = 1948, quota down by 1024
      {1024, 512, 1500, 0},             // 548 - 1024 stops at 0
      {1024, BandwidthLimiter::kUnlimited, 100, UINT64_MAX},
      {BandwidthLimiter::kUnlimited, 1000, 500, 1500},
  };
  for (const Case& c : cases) {
    BandwidthLimiter limiter(c.from);
    limiter.Consume(c.used, 0);
    limiter.SetRate(c.to, 10);
    EXPECT_EQ(limiter.Remaining(20), c.left) << c.from << "->" << c.to << " used " << c.used;
  }
}

TEST(BandwidthLimiter, SurvivesTheTickWrap) {
  BandwidthLimiter limiter(1000);
  std::uint32_t now = 0xFFFFFFFFu - 500;
  limiter.Consume(2000, now);
  EXPECT_EQ(limiter.Remaining(now), 0u);
  EXPECT_EQ(limiter.Remaining(now + 3000), 2000u);  // wrapped past 0
}

std::string Header(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  std::string h(12, '\0');
  const std::uint32_t v[3] = {a, b, c};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 4; ++k) h[4 * i + k] = static_cast<char>((v[i] >> (8 * k)) & 0xFF);
  return h;
}

TEST(FrameCodec, EncodesLittleEndianHeader) {
  EXPECT_EQ(EncodeFrame("abc"), Header(0, 3, 3) + "abc");
  EXPECT_EQ(EncodeFrame(std::string(0x10203, 'x')).substr(0, 12), Header(0, 0x10203, 0x10203));
}

TEST(FrameCodec, DecodesSingleAndSplitMessagesAndRejectsBadFrames) {
  constexpr std::uint32_t kLimit = 100;
  struct Case {
    const char* name;
    std::string wire;
    bool ok;
    std::vector<std::string> messages;
  };
  const std::string full(kLimit, 'L');
  const Case cases[] = {
      {"one frame", EncodeFrame("hello"), true, {"hello"}},
      {"two frames back to back", EncodeFrame("a") + EncodeFrame("bc"), true, {"a", "bc"}},
      {"split over three parts", Header(1, 2, 6) + "ab" + Header(1, 3, 6) + "cde" + Header(1, 1, 6) + "f", true,
       {"abcdef"}},
      {"total equal to the limit", Header(0, kLimit, kLimit) + full, true, {full}},
      {"total 0", Header(0, 0, 0), false, {}},
      {"part length 0", Header(1, 0, 5), false, {}},
      {"part longer than total", Header(1, 6, 5) + "abcdef", false, {}},
      {"total over the limit", Header(0, kLimit + 1, kLimit + 1), false, {}},
      {"single frame part != total", Header(0, 2, 4) + "ab", false, {}},
      {"parts overrun the total", Header(1, 3, 4) + "abc" + Header(1, 3, 4) + "def", false, {}},
      {"total changes within a message", Header(1, 2, 4) + "ab" + Header(1, 2, 5) + "cd", false, {}},
      {"message then a bad frame", EncodeFrame("ok") + Header(0, 0, 0), false, {"ok"}},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, c.wire.size()}) {
      SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
      FrameDecoder decoder(kLimit);
      std::vector<std::string> got;
      bool ok = true;
      for (std::size_t pos = 0; pos < c.wire.size() && ok; pos += piece) {
        ok = decoder.Feed(c.wire.data() + pos, std::min(piece, c.wire.size() - pos),
                          [&](std::string&& m) { got.push_back(std::move(m)); });
      }
      EXPECT_EQ(ok, c.ok);
      EXPECT_EQ(decoder.failed(), !c.ok);
      EXPECT_EQ(got, c.messages);
    }
  }
}

TEST(FrameCodec, WantedFollowsHeaderThenPart) {
  FrameDecoder decoder(1000);
  EXPECT_EQ(decoder.Wanted(), 12u);
  std::string wire = EncodeFrame("0123456789");
  decoder.Feed(wire.data(), 5, nullptr);
  EXPECT_EQ(decoder.Wanted(), 7u);
  decoder.Feed(wire.data() + 5, 10, nullptr);
  EXPECT_EQ(decoder.Wanted(), 7u);  // 3 of 10 body bytes in
}

}  // namespace
}  // namespace zelt
