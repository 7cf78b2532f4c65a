#include "downloader/storage/file_manager.h"

#include "downloader/framework/log.h"

namespace zelt {

bool FileManager::Add(std::unique_ptr<File> file) {
  const std::uint32_t id = file->id();
  if (files_.count(id) != 0) {
    ZLOG(log::kError, "FileManager", "Add file error, file id already exist.");
    return false;
  }
  files_.emplace(id, std::move(file));
  return true;
}

File* FileManager::Find(std::uint32_t id) const {
  auto it = files_.find(id);
  return it == files_.end() ? nullptr : it->second.get();
}

std::vector<File*> FileManager::Ordered() const {
  std::vector<File*> out;
  out.reserve(files_.size());
  for (const auto& [id, file] : files_) out.push_back(file.get());
  return out;
}

}  // namespace zelt
