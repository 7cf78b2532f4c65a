// The P2P client's view of the file system service: the block source of the
// HTTP threads plus what its periodic step and the completion step need.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "downloader/framework/interface.h"
#include "downloader/net/http_block_source.h"

namespace zelt {

class IDownloadStore : public IHttpBlockSource {
 public:
  // Bytes handed to the write thread and not yet on disk.
  virtual std::uint64_t PendingWriteBytes() = 0;
  // Called with the level of every priority segment registered from now on.
  virtual void SetPriorityListener(std::function<void(std::uint32_t level)> listener) = 0;
  // Deletes the seed, previous seed, torrent and resume files and the
  // information folder.
  virtual void DeleteDownloadInfo() = 0;
};

// The links to the other services that the P2P client and the statistics
// recorder need; made from the registered services once they have started.
struct CoreLinks {
  std::unique_ptr<IDownloadStore> store;
  // The HTTP bandwidth control of the network service (may sleep).
  std::function<void(std::uint32_t bytes)> http_speed_control;
  // The advertised local address.
  std::string local_address;
};

class FileSystem;
// The file system seen through the store's view.
std::unique_ptr<IDownloadStore> MakeFileSystemStore(FileSystem& fs);

// Nullptr store when the file system service is missing.
CoreLinks MakeCoreLinks(framework::IInterfaceMgr& registry);

}  // namespace zelt
