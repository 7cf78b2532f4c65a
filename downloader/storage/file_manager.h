// The registered target files by id.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "downloader/storage/file.h"

namespace zelt {

// Files are added while the file system starts, before any other thread
// uses them, and removed only when it stops; lookups take no lock.
class FileManager {
 public:
  // false (and the file is dropped) when the id is already registered.
  bool Add(std::unique_ptr<File> file);
  File* Find(std::uint32_t id) const;
  // Ascending id order.
  std::vector<File*> Ordered() const;
  std::size_t count() const { return files_.size(); }
  void Clear() { files_.clear(); }

 private:
  std::map<std::uint32_t, std::unique_ptr<File>> files_;
};

}  // namespace zelt
