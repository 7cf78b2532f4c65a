// Seeds for block_data: op streams that complete the block in order, in
// overlapping pieces, with a corrupt piece, and with far-away offsets.
// fuzz-libs: kestra_storage
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/seed_writer.h"

namespace {

// One op: mode byte, 32-bit offset (big-endian), one length byte; a corrupt
// op adds the byte that picks and flips a position.
void Op(std::string& out, std::uint8_t mode, std::uint32_t offset, std::uint8_t length, int flip = -1) {
  out.push_back(static_cast<char>(mode));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((offset >> shift) & 0xFF));
  out.push_back(static_cast<char>(length));
  if (flip >= 0) out.push_back(static_cast<char>(flip));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // Near-block offsets are 960 + offset % 144: offset 40 is the block's first byte.
  std::string in_order, overlapping, corrupt, far;
  for (std::uint32_t at = 0; at < 64; at += 16) Op(in_order, 1, 40 + at, 16);
  Op(overlapping, 1, 30, 30);
  Op(overlapping, 1, 50, 40);
  Op(overlapping, 1, 40, 64);
  Op(corrupt, 1, 40, 32);
  Op(corrupt, 9, 72, 32, 0x35);
  Op(corrupt, 1, 40, 64);
  Op(far, 0, 0xFFFFFFF0u, 99);
  Op(far, 0, 1000, 64);
  const std::string dir = argv[1];
  kestra::fuzz::WriteSeed(dir, "in_order", in_order);
  kestra::fuzz::WriteSeed(dir, "overlapping", overlapping);
  kestra::fuzz::WriteSeed(dir, "corrupt", corrupt);
  kestra::fuzz::WriteSeed(dir, "far", far);
  return 0;
}
