// What DownloadInfo needs of the file system while it registers a task's
// files: the file system implements it, DownloadInfo drives it.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "downloader/storage/range_set.h"
#include "downloader/storage/seed_document.h"

namespace zelt {

class IFileRegistrar {
 public:
  virtual ~IFileRegistrar() = default;
  // Sets state 11 and creates and registers every file in seed order; false on the first failure.
  virtual bool AddMultipleFiles(const std::vector<FileEntry>& files) = 0;
  virtual void SetHttpBegin(std::uint32_t file_id, std::uint32_t location) = 0;
  // Marks every block whose part id is in parts Written without reading the disk.
  virtual void RestoreCompleted(std::uint32_t file_id, const RangeSet& parts) = 0;
  // Full verification of every file (state 12 is set by the caller); the part ids of the blocks found
  // correct on disk are inserted into completed[file_id].
  virtual void VerifyAll(std::map<std::uint32_t, RangeSet>& completed) = 0;
  // Records the complete byte count at start.
  virtual void RecordStartBytes() = 0;
};

}  // namespace zelt
