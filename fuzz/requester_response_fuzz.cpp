// The downloader's HTTP response reader: the first byte picks how the rest is
// split into reads; the head decides the body framing as the requester does,
// and the body passes the range window of a range request.
// fuzz-libs: kestra_dlnet
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <string>

#include "downloader/net/http_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t n = size - 1;

  zelt::HttpResponseParser parser;
  std::uint64_t kept = 0;
  std::optional<zelt::RangeWindow> window;
  auto sink = [&](const char* d, std::size_t len) {
    (void)d;
    zelt::RangeWindow::Slice s = window->Take(len);
    if (s.skip + s.length > len) __builtin_trap();
    kept += s.length;
    return !window->Past();
  };
  std::size_t pos = 0;
  while (pos < n) {
    std::size_t len = std::min(piece, n - pos);
    std::size_t used = 0;
    while (used < len) {
      std::size_t u = parser.Feed(bytes + pos + used, len - used, sink);
      if (used + u > len) __builtin_trap();
      used += u;
      if (parser.state() == zelt::HttpResponseParser::State::kHeadDone) {
        const zelt::ResponseHead& head = parser.head();
        std::uint64_t base = head.content_range ? head.content_range->first : 0;
        window.emplace(100, 5000, base);
        parser.BeginBody(head.code / 100 == 2 && head.code != 204);
        continue;
      }
      if (u == 0) break;
    }
    if (used < len) break;
    pos += len;
  }
  parser.FeedEnd();
  if (kept > 4901) __builtin_trap();
  if (parser.state() == zelt::HttpResponseParser::State::kHead && parser.error().empty()) __builtin_trap();
  (void)zelt::ParseContentRange(std::string(bytes, std::min<std::size_t>(n, 200)));
  return 0;
}
