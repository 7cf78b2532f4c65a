// The records of a task's seed: the target files, their parts (one block
// each) and the names to delete. Filled by the seed reader, consumed by the
// file system when it creates the files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zelt {

using Md5Digest = std::array<std::uint8_t, 16>;

struct PartEntry {
  std::uint32_t id = 0, start = 0, length = 0;
  Md5Digest md5{};
};

struct FileEntry {
  std::uint32_t id = 0;
  std::string name;  // relative to the download directory, as written in the seed
  std::uint32_t size = 0;
  Md5Digest md5{};
  std::vector<PartEntry> parts;  // document order; they tile [0, size)
};

struct SeedDocument {
  std::vector<FileEntry> files;
  std::vector<std::string> delete_list;
};

}  // namespace zelt
