// Seeds: framed messages as packet handles send them, and a message split
// over several frames (first byte: read size; second: the limit).
// fuzz-libs: kestra_dlnet
#include <cstdint>
#include <string>

#include "downloader/net/frame_codec.h"
#include "fuzz/support/seed_writer.h"

namespace {

std::string Part(std::uint32_t first, std::string_view part, std::uint32_t total) {
  std::string h(12, '\0');
  const std::uint32_t v[3] = {first, static_cast<std::uint32_t>(part.size()), total};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 4; ++k) h[4 * i + k] = static_cast<char>((v[i] >> (8 * k)) & 0xFF);
  return h + std::string(part);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "two_messages",
                          std::string("\x05\x10") + zelt::EncodeFrame("hello") + zelt::EncodeFrame("peer"));
  kestra::fuzz::WriteSeed(dir, "split",
                          std::string("\x02\x10") + Part(1, "abc", 7) + Part(1, "defg", 7));
  kestra::fuzz::WriteSeed(dir, "at_limit", std::string("\x1f\x01") + zelt::EncodeFrame(std::string(17, 'L')));
  return 0;
}
