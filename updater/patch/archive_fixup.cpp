#include "updater/patch/archive_fixup.h"

#include <algorithm>
#include <cstring>

#include "updater/patch/package_format.h"

namespace kestra::patch {

namespace {

constexpr std::size_t kArchiveHeaderSize = 12;
constexpr std::size_t kArchiveEntrySize = 16;
constexpr std::size_t kClearedBytes = 8;

bool ReadAt(platform::fs::File& file, std::int64_t offset, void* buffer, std::size_t size) {
  return file.Seek(offset) && file.ReadExact(buffer, size);
}

}  // namespace

bool ReadArchiveIndex(platform::fs::File& file, std::vector<ArchiveEntry>& index) {
  index.clear();
  const auto position = file.Tell();
  const auto size = file.Size();
  if (!position || !size) return false;
  bool ok = false;
  std::uint8_t header[kArchiveHeaderSize];
  if (*size >= static_cast<std::int64_t>(kArchiveHeaderSize) &&
      ReadAt(file, 0, header, sizeof header) && std::memcmp(header, "PAZR", 4) == 0) {
    const std::uint64_t count = ReadLe32(header + 4);
    const std::uint64_t offset = ReadLe32(header + 8);
    // The index must lie inside the file; this also bounds the count.
    if (offset + count * kArchiveEntrySize <= static_cast<std::uint64_t>(*size)) {
      std::vector<std::uint8_t> raw(count * kArchiveEntrySize);
      if (count == 0 || ReadAt(file, static_cast<std::int64_t>(offset), raw.data(), raw.size())) {
        index.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
          const std::uint8_t* e = raw.data() + i * kArchiveEntrySize;
          index[i] = ArchiveEntry{ReadLe32(e), ReadLe32(e + 4), ReadLe32(e + 8), ReadLe32(e + 12)};
        }
        ok = true;
      }
    }
  }
  file.Seek(*position);
  return ok;
}

void ArchiveFixup::Before(platform::fs::File& file) {
  active_ = ReadArchiveIndex(file, old_index_);
}

bool ArchiveFixup::After(platform::fs::File& file) {
  if (!active_) return true;
  active_ = false;
  std::vector<ArchiveEntry> new_index;
  if (!ReadArchiveIndex(file, new_index)) return true;  // no archive any more
  const auto position = file.Tell();
  const auto size = file.Size();
  if (!position || !size) return false;
  bool ok = true;
  const std::uint8_t zeros[kClearedBytes] = {};
  for (const ArchiveEntry& old_entry : old_index_) {
    if (old_entry.fourth != kArchiveMarkedEntry) continue;
    auto it = std::lower_bound(new_index.begin(), new_index.end(), old_entry.identifier,
                               [](const ArchiveEntry& e, std::uint32_t id) {
                                 return e.identifier < id;
                               });
    if (it == new_index.end() || it->identifier != old_entry.identifier) continue;
    // Only inside the file: a damaged index must not make the archive grow.
    if (std::uint64_t{it->data_offset} + kClearedBytes > static_cast<std::uint64_t>(*size))
      continue;
    ok = file.Seek(it->data_offset) && file.WriteAll(std::string_view(
                                          reinterpret_cast<const char*>(zeros), kClearedBytes)) &&
         file.Flush() && ok;
  }
  file.Seek(*position);
  return ok;
}

}  // namespace kestra::patch
