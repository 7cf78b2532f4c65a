// Fix-up of the game's resource archives ("PAZR") around an in-place edit,
// used only when update.ini asks for it (microver): entries that the old index
// marked with 0xFFFFFFFF in their fourth word get the first 8 bytes of their
// data cleared in the patched archive.
//
// Archive: header of 12 bytes (magic "PAZR", entry count, index offset); the
// index holds entry-count entries of 16 bytes (identifier, data offset, an
// unused word, fourth word), sorted by identifier.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/fs.h"

namespace kestra::patch {

inline constexpr std::uint32_t kArchiveMarkedEntry = 0xFFFFFFFF;

struct ArchiveEntry {
  std::uint32_t identifier = 0;
  std::uint32_t data_offset = 0;
  std::uint32_t unused = 0;
  std::uint32_t fourth = 0;
};

// Reads the index of an open archive (the file position is kept). False when
// the file is no "PAZR" archive or its index does not lie inside the file.
bool ReadArchiveIndex(platform::fs::File& file, std::vector<ArchiveEntry>& index);

class ArchiveFixup {
 public:
  // Before the edit: remembers the old index (when the file is an archive).
  void Before(platform::fs::File& file);
  // After the edit: clears the marked entries' first 8 data bytes.
  bool After(platform::fs::File& file);

 private:
  bool active_ = false;
  std::vector<ArchiveEntry> old_index_;
};

}  // namespace kestra::patch
