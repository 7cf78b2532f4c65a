// Block data as peers and servers send it: any offset, any length, any bytes,
// for a block in the middle of its file. The byte count a block reports must
// always equal what it holds, and a block only ever completes with its bytes.
// fuzz-libs: kestra_storage
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "downloader/storage/file_block.h"
#include "downloader/storage/range_set.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

std::uint32_t Take32(const std::uint8_t*& p, std::size_t& left) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4 && left > 0; ++i, --left) v = (v << 8) | *p++;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The block is [kStart, kStart + kLength) of a file whose bytes are i * 7.
  constexpr std::uint32_t kStart = 1000;
  constexpr std::uint32_t kLength = 64;
  std::string content(kStart + kLength + 1000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  zelt::PartEntry part;
  part.id = 3;
  part.start = kStart;
  part.length = kLength;
  part.md5 = zelt::Md5Of(content.data() + kStart, kLength);
  zelt::FileBlock block(1, 0, part);
  std::vector<bool> have(kLength, false);
  std::int64_t counted = 0;

  const std::uint8_t* p = data;
  std::size_t left = size;
  while (left >= 6) {
    // Offsets near the block most of the time, anywhere (up to 2^32 - 1) otherwise.
    const std::uint8_t mode = *p++;
    --left;
    std::uint32_t offset = Take32(p, left);
    if ((mode & 3) != 0) offset = kStart - 40 + offset % (kLength + 80);
    std::uint32_t length = (mode & 4) != 0 ? Take32(p, left) : (*p++ % 100);
    if ((mode & 4) == 0) --left;
    // The sender's bytes: the true content, or corrupted by the input.
    const std::uint32_t body = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 4096));
    length = body;
    std::string bytes(body, '\0');
    for (std::uint32_t i = 0; i < body; ++i) {
      const std::uint64_t at = std::uint64_t{offset} + i;
      bytes[i] = at < content.size() ? content[at] : 'x';
    }
    if ((mode & 8) != 0 && body > 0 && left > 0) {
      bytes[*p % body] ^= static_cast<char>(1 + (*p >> 4));
      ++p;
      --left;
    }
    const zelt::FileBlock::Accepted a = block.BufferAndVerify(bytes.data(), offset, length);
    counted += a.bytes;
    if (a.md5_failed) {
      std::fill(have.begin(), have.end(), false);
    } else if (block.state() != zelt::BlockState::kVerified || a.verified) {
      for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint64_t at = std::uint64_t{offset} + i;
        if (at >= kStart && at < kStart + kLength) have[at - kStart] = true;
      }
    }
    block.check_invariant();
    std::uint32_t held = 0;
    for (bool h : have) held += h ? 1 : 0;
    Require(counted == static_cast<std::int64_t>(held));
    Require(block.missing_count() == kLength - held);
    if (block.state() == zelt::BlockState::kVerified) {
      Require(std::memcmp(block.verified_data(), content.data() + kStart, kLength) == 0);
    }
  }
  return 0;
}
