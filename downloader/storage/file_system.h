// FileSystem: the service that owns the task's target files. Data from HTTP
// and from peers is gathered per block, checked against the block's MD5,
// written in the background and served back for uploads; the allocators
// tell each source what to fetch next; the counters feed the status report.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "downloader/services/service_interfaces.h"
#include "downloader/storage/block_allocator.h"
#include "downloader/storage/file.h"
#include "downloader/storage/file_io.h"
#include "downloader/storage/file_manager.h"
#include "downloader/storage/file_registrar.h"

namespace zelt {

class ConfigService;
class DownloadInfo;

inline constexpr const char* kInfoFolder = "P2PUpdater_Info\\";

class FileSystem : public IFileSystemService, public IFileRegistrar {
 public:
  // (file id, block index) of every block that became available to peers.
  using CompletionListener = std::function<void(std::uint32_t file_id, std::uint32_t block_index)>;
  // Where the status lines go ("key", "value"); the control channel by default.
  using StatusWriter = std::function<void(const std::string& key, const std::string& value)>;

  FileSystem();
  ~FileSystem() override;

  // --- service life cycle ---
  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;

  // --- IFileSystemService ---
  ByteCounters Counters() override;
  bool FileName(std::uint32_t index, std::string& name) override;
  void SetQuickLevel(std::uint32_t level) override;
  bool SetPriority(const std::string& file, std::uint32_t start, std::uint32_t length,
                   std::uint32_t level) override;
  std::string BlockStatusText() override;

  // --- IFileRegistrar ---
  bool AddMultipleFiles(const std::vector<FileEntry>& files) override;
  void SetHttpBegin(std::uint32_t file_id, std::uint32_t location) override;
  void RestoreCompleted(std::uint32_t file_id, const RangeSet& parts) override;
  void VerifyAll(std::map<std::uint32_t, RangeSet>& completed) override;
  void RecordStartBytes() override;

  // The start-up work without the driver: paths from the configuration,
  // repair clean-up, torrent and seed, files registered and checked or
  // restored. false when a step failed (the state and the lines are sent).
  bool Prepare(ConfigService& config);
  // Without the driver (tools and tests): the download directory (ending in
  // a separator) and the back-end choice; Start sets both from the configuration.
  void Configure(const std::string& download_dir, int fsys);
  // Hashing threads of the verification scan (0: one per core).
  void set_verify_threads(unsigned threads) { verify_threads_ = threads; }
  void set_completion_listener(CompletionListener listener);
  // Called after SetPriority registered a segment.
  void set_priority_listener(std::function<void(std::uint32_t level)> listener);
  void set_status_writer(StatusWriter writer);

  // --- data ---
  // false only when the file id is unknown.
  bool Write(std::uint32_t file_id, const char* data, std::uint32_t offset, std::uint32_t length);
  bool Read(std::uint32_t file_id, char* buffer, std::uint32_t length, std::uint32_t offset);

  bool IsComplete();
  double Percentage();
  double PercentageDownloaded();
  double CurUpdatePercentage();
  std::uint64_t total_bytes();
  std::uint64_t verified_bytes();
  std::uint64_t written_bytes();
  std::uint64_t written_at_start();
  std::uint64_t pending_bytes() const { return write_thread_.pending_bytes(); }

  FileManager& files() { return files_; }
  File* FindFile(std::uint32_t id) { return files_.Find(id); }
  GlobalBlockAllocator& allocator() { return *allocator_; }
  bool HaveBitmap(std::uint32_t file_id, std::vector<std::uint8_t>& out);
  bool StateBitmap(std::uint32_t file_id, std::uint8_t* out, std::size_t entries);

  const std::string& download_dir() const { return download_dir_; }
  const std::string& info_folder() const { return info_folder_; }
  std::uint32_t quick_level();

  // Every Allocated block of every file goes back to Free (the sources are gone).
  void FreeAllocatedBlocks();
  // Logs the blocks that are not complete, per file.
  void LogUncompleteBlock();
  struct PrioritySegment {
    std::uint32_t file_id = 0, start = 0, length = 0, level = 0;
  };
  // Every registered segment, in the order of registration.
  std::vector<PrioritySegment> PrioritySegments();
  // The task's information files and folder (end of a completed download).
  void DeleteDownloadInfo();
  DownloadInfo* download_info() { return info_.get(); }

  // Waits until every queued disk write has completed.
  void DrainWrites();

  // --- used by File ---
  void AddVerified(std::int64_t bytes);
  void AddWritten(std::uint64_t bytes);
  void AnnounceBlock(File& file, std::uint32_t index);
  void PartWritten(File& file, std::uint32_t part_id);
  void SendStatus(const std::string& key, const std::string& value);
  // The three error lines as one group, never interleaved with another group.
  void SendErrorStatus(const std::vector<std::pair<std::string, std::string>>& lines);

  // Counters never exceed the total and written never exceeds verified.
  void check_invariant();

 private:
  bool AddSingleFile(const FileEntry& entry);
  void PendingWriteWatch();
  void ReleaseFiles();

  ConfigService* config_ = nullptr;
  std::unique_ptr<DownloadInfo> info_;
  std::string download_dir_;
  std::string info_folder_;
  int fsys_ = 1;
  unsigned verify_threads_ = 0;

  WriteFileThread write_thread_;
  FileManager files_;
  std::unique_ptr<GlobalBlockAllocator> allocator_;

  std::mutex counters_mutex_;
  std::uint64_t total_bytes_ = 0;
  std::uint64_t verified_bytes_ = 0;
  std::uint64_t written_bytes_ = 0;
  std::uint64_t written_at_start_ = 0;
  std::uint32_t quick_level_ = 0;

  std::mutex hooks_mutex_;
  CompletionListener listener_;
  std::function<void(std::uint32_t level)> priority_listener_;
  std::vector<PrioritySegment> priority_segments_;
  StatusWriter status_writer_;

  std::int64_t last_watch_second_ = -1;
  bool stopped_ = false;
};

}  // namespace zelt
