// Seed entries and file contents made at test time for the storage tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "downloader/storage/file_block.h"
#include "downloader/storage/seed_document.h"

namespace zelt::test {

// Bytes that differ from block to block and from file to file.
inline std::string Content(std::size_t size, std::uint32_t salt) {
  std::string out(size, '\0');
  std::uint32_t x = 2463534242u ^ (salt * 2654435761u);
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x & 0xFF);
  }
  return out;
}

// A seed entry whose parts tile content in blocks of block_size (part ids
// 0, 1, ...), with the MD5 of every part and of the whole.
inline FileEntry MakeEntry(std::uint32_t id, const std::string& name, const std::string& content,
                           std::uint32_t block_size) {
  FileEntry e;
  e.id = id;
  e.name = name;
  e.size = static_cast<std::uint32_t>(content.size());
  e.md5 = Md5Of(content.data(), content.size());
  for (std::uint32_t start = 0, part = 0; start < e.size; start += block_size, ++part) {
    PartEntry p;
    p.id = part;
    p.start = start;
    p.length = std::min<std::uint32_t>(block_size, e.size - start);
    p.md5 = Md5Of(content.data() + start, p.length);
    e.parts.push_back(p);
  }
  return e;
}

inline char StateChar(BlockState s) {
  switch (s) {
    case BlockState::kFree: return 'F';
    case BlockState::kAllocated: return 'A';
    case BlockState::kVerified: return 'V';
    case BlockState::kWritten: return 'W';
  }
  return '?';
}

}  // namespace zelt::test
