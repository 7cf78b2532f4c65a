// The response reader fed without a socket: every split of the input gives
// the same result as one piece.
#include "downloader/net/http_response.h"

#include <gtest/gtest.h>

#include <limits>

namespace zelt {
namespace {

struct Outcome {
  HttpResponseParser::State state;
  std::string body;
  std::size_t left_over = 0;
};

Outcome Drive(const std::string& wire, std::size_t piece, bool end) {
  HttpResponseParser parser;
  Outcome out;
  auto sink = [&](const char* d, std::size_t n) {
    out.body.append(d, n);
    return true;
  };
  std::size_t pos = 0;
  while (pos < wire.size()) {
    std::size_t n = std::min(piece, wire.size() - pos);
    std::size_t used = 0;
    while (used < n) {
      std::size_t u = parser.Feed(wire.data() + pos + used, n - used, sink);
      used += u;
      if (parser.state() == HttpResponseParser::State::kHeadDone) {
        parser.BeginBody(parser.head().code != 204);
        continue;
      }
      if (u == 0) break;
    }
    if (used < n) {
      out.left_over = wire.size() - pos - used;
      break;
    }
    pos += n;
  }
  if (end && out.left_over == 0) parser.FeedEnd();
  out.state = parser.state();
  return out;
}

TEST(HttpResponseParser, SameResultForEverySplit) {
  using S = HttpResponseParser::State;
  struct Case {
    const char* name;
    std::string wire;
    bool end;  // the connection ends after the bytes
    S state;
    std::string body;
    std::size_t left_over;
  };
  const Case cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, S::kDone, "hello", 0},
      {"length with extra bytes", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", false, S::kDone, "he", 3},
      {"interim 100 first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", false,
       S::kDone, "x", 0},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n", false,
       S::kDone, "abcde", 0},
      {"until close", "HTTP/1.0 200 OK\r\n\r\nabc", true, S::kDone, "abc", 0},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", false, S::kDone, "", 0},
      {"length cut short", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", true, S::kError, "abc", 0},
      {"head cut short", "HTTP/1.1 200 OK\r\nContent-Le", true, S::kError, "", 0},
      {"bad status", "HTTP/1.1 2x0 OK\r\n\r\n", false, S::kError, "", 0},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, S::kError, "", 0},
      {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", false, S::kError, "", 0},
      {"field without colon", "HTTP/1.1 200 OK\r\nnonsense\r\n\r\n", false, S::kError, "", 0},
      {"endless interim answers", [] {
         std::string s;
         for (int i = 0; i < 20; ++i) s += "HTTP/1.1 100 Continue\r\n\r\n";
         return s;
       }(), false, S::kError, "", 0},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, c.wire.size()}) {
      SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
      Outcome o = Drive(c.wire, piece, c.end);
      EXPECT_EQ(o.state, c.state);
      if (c.state == S::kDone) {
        EXPECT_EQ(o.body, c.body);
        EXPECT_EQ(o.left_over, c.left_over);
      }
    }
  }
}

TEST(HttpResponseParser, HeadFields) {
  ResponseHead head;
  std::string why;
  ASSERT_TRUE(ParseResponseHead(
      "HTTP/1.1 302 Found\r\nlocation:  http://127.0.0.1:1/x \r\nCONNECTION: close\r\n"
      "Content-Range: bytes 0-9/10\r\n\r\n",
      head, why));
  EXPECT_EQ(head.status, "302");
  EXPECT_EQ(head.location, "http://127.0.0.1:1/x");
  EXPECT_TRUE(head.connection_close);
  ASSERT_TRUE(head.content_range);
  EXPECT_EQ(head.content_range->last, 9u);
  EXPECT_EQ(head.Field("Connection"), "close");
}

TEST(ContentRange, Parsing) {
  struct Case {
    const char* text;
    bool ok;
    std::uint64_t first, last;
  };
  const Case cases[] = {
      {"bytes 0-9/10", true, 0, 9},      {"bytes 5-5/*", true, 5, 5},
      {"bytes 9-0/10", false, 0, 0},     {"bytes 0-10/10", false, 0, 0},
      {"items 0-9/10", false, 0, 0},     {"bytes -9/10", false, 0, 0},
      {"bytes 0-9", false, 0, 0},        {"bytes 0-9/1x", false, 0, 0},
      {"bytes 18446744073709551615-1/2", false, 0, 0},
  };
  for (const Case& c : cases) {
    auto r = ParseContentRange(c.text);
    EXPECT_EQ(r.has_value(), c.ok) << c.text;
    if (r && c.ok) {
      EXPECT_EQ(r->first, c.first);
      EXPECT_EQ(r->last, c.last);
    }
  }
}

TEST(RangeWindow, KeepsOnlyTheRange) {
  // Body starting at file offset 0, request 10..19, pieces of 8 bytes.
  RangeWindow w(10, 19, 0);
  auto a = w.Take(8);  // 0..7: nothing
  EXPECT_EQ(a.length, 0u);
  auto b = w.Take(8);  // 8..15: 10..15
  EXPECT_EQ(b.skip, 2u);
  EXPECT_EQ(b.length, 6u);
  EXPECT_EQ(b.file_offset, 10u);
  EXPECT_FALSE(w.Past());
  auto c = w.Take(8);  // 16..23: 16..19
  EXPECT_EQ(c.skip, 0u);
  EXPECT_EQ(c.length, 4u);
  EXPECT_EQ(c.file_offset, 16u);
  EXPECT_TRUE(w.Past());
  RangeWindow open(0, 0xFFFFFFFFu, 0);
  EXPECT_EQ(open.Take(100).length, 100u);
}

}  // namespace
}  // namespace zelt
