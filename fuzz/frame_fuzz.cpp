// The frame decoder of packet handles: the input is fed in reads whose sizes
// come from its first byte; every message must respect the limit and every
// rejection must stick.
// fuzz-libs: kestra_dlnet
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <string>

#include "downloader/net/frame_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = 1 + data[0] % 32;
  const std::uint32_t limit = 1 + data[1] * 16u;
  const char* bytes = reinterpret_cast<const char*>(data + 2);
  const std::size_t n = size - 2;
  zelt::FrameDecoder decoder(limit);
  bool ok = true;
  for (std::size_t pos = 0; pos < n; pos += piece) {
    std::size_t len = std::min(piece, n - pos);
    bool fed = decoder.Feed(bytes + pos, len, [&](std::string&& message) {
      if (message.empty() || message.size() > limit) __builtin_trap();
    });
    if (!ok && fed) __builtin_trap();  // a rejected stream stays rejected
    ok = ok && fed;
    if (decoder.Wanted() > std::max<std::size_t>(limit, 12)) __builtin_trap();
  }
  // A message that is encoded and decoded again comes back unchanged.
  std::string message(bytes, std::min<std::size_t>(n, limit));
  if (!message.empty()) {
    zelt::FrameDecoder again(limit);
    std::string out;
    std::string wire = zelt::EncodeFrame(message);
    if (!again.Feed(wire.data(), wire.size(), [&](std::string&& m) { out = std::move(m); })) __builtin_trap();
    if (out != message) __builtin_trap();
  }
  return 0;
}
