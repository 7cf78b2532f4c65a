// The P2P client's links to the file system and network services.
#include <algorithm>

#include "downloader/framework/log.h"
#include "downloader/p2p/download_store.h"
#include "downloader/net/network_service.h"
#include "downloader/storage/file_system.h"

namespace zelt {
namespace {


HttpBlockRef Ref(const FileBlock& b) { return {b.file_id(), b.index(), b.start(), b.length()}; }

// The file system seen through the HTTP threads' narrow view.
class FileSystemStore : public IDownloadStore {
 public:
  explicit FileSystemStore(FileSystem& fs) : fs_(fs) {}

  bool IsComplete() override { return fs_.IsComplete(); }

  std::size_t AllocRun(std::vector<HttpBlockRef>& out, std::size_t max) override {
    std::vector<FileBlock*> blocks;
    fs_.allocator().AllocRun(blocks, max, true);
    for (FileBlock* b : blocks) out.push_back(Ref(*b));
    return blocks.size();
  }

  bool AllocBlock(std::uint32_t file_id, std::uint32_t index, HttpBlockRef& out) override {
    FileBlock* b = fs_.allocator().AllocBlock(file_id, index);
    if (b == nullptr) return false;
    out = Ref(*b);
    return true;
  }

  bool BlockIndexAt(std::uint32_t file_id, std::uint32_t offset, std::uint32_t& index) override {
    File* f = fs_.FindFile(file_id);
    FileBlock* b = f != nullptr ? f->FindBlock(offset) : nullptr;
    if (b == nullptr) return false;
    index = b->index();
    return true;
  }

  bool BlockAt(std::uint32_t file_id, std::uint32_t index, HttpBlockRef& out) override {
    File* f = fs_.FindFile(file_id);
    FileBlock* b = f != nullptr ? f->block(index) : nullptr;
    if (b == nullptr) return false;
    out = Ref(*b);
    return true;
  }

  void FreeIfAllocated(const HttpBlockRef& ref) override {
    File* f = fs_.FindFile(ref.file_id);
    FileBlock* b = f != nullptr ? f->block(ref.index) : nullptr;
    if (b != nullptr) b->ReleaseAllocation();
  }

  void ResetAllAllocated() override {
    fs_.FreeAllocatedBlocks();
    fs_.LogUncompleteBlock();
  }

  bool Write(std::uint32_t file_id, const char* data, std::uint32_t offset, std::uint32_t length) override {
    return fs_.Write(file_id, data, offset, length);
  }

  bool FileName(std::uint32_t file_id, std::string& name) override {
    File* f = fs_.FindFile(file_id);
    if (f == nullptr) return false;
    name = f->name();
    return true;
  }

  std::vector<PrioritySegment> PrioritySegments() override {
    std::vector<PrioritySegment> out;
    for (const FileSystem::PrioritySegment& p : fs_.PrioritySegments()) {
      out.push_back({p.file_id, p.start, p.length, p.level});
    }
    std::stable_sort(out.begin(), out.end(), PrioritySegmentBefore);
    return out;
  }

  std::uint64_t PendingWriteBytes() override { return fs_.pending_bytes(); }

  void SetPriorityListener(std::function<void(std::uint32_t level)> listener) override {
    fs_.set_priority_listener(std::move(listener));
  }

  void DeleteDownloadInfo() override { fs_.DeleteDownloadInfo(); }

 private:
  FileSystem& fs_;
};

}  // namespace

std::unique_ptr<IDownloadStore> MakeFileSystemStore(FileSystem& fs) {
  return std::make_unique<FileSystemStore>(fs);
}

CoreLinks MakeCoreLinks(framework::IInterfaceMgr& registry) {
  CoreLinks links;
  if (auto* fs = registry.Find<FileSystem>(kFileSystemServiceName)) {
    links.store = std::make_unique<FileSystemStore>(*fs);
  }
  if (auto* net = registry.Find<NetworkService>(kNetworkServiceName)) {
    links.http_speed_control = [net](std::uint32_t bytes) { net->HttpSpeedControl(bytes); };
    links.local_address = net->LocalAddress();
  }
  return links;
}

}  // namespace zelt
