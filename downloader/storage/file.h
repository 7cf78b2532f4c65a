// One target file of the task: its blocks, its back-end, its allocator
// cursors and the bitmaps the peers and the reports read.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "downloader/storage/block_allocator.h"
#include "downloader/storage/file_block.h"
#include "downloader/storage/file_io.h"
#include "downloader/storage/range_set.h"
#include "downloader/storage/seed_document.h"

namespace zelt {

class FileSystem;

class File {
 public:
  // Builds the blocks from the seed entry: one per part, in seed order; a
  // file of size 0 gets one empty block that is Written from the start.
  File(FileSystem& owner, const FileEntry& entry, const std::string& download_dir);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Creates the folders and opens (or creates) the file with the back-end
  // for fsys, then gives it the seed size. Reports failures as status lines.
  bool Open(int fsys, WriteFileThread& thread);
  void Close();

  // Data for [offset, offset + length); the part past the file's end is dropped.
  void Write(const char* data, std::uint32_t offset, std::uint32_t length);
  // Bytes of Verified and Written blocks only.
  bool Read(char* buffer, std::uint32_t length, std::uint32_t offset);
  // The back-end finished writing the block with the index (error 0: ok).
  void OnWriteComplete(std::uint64_t block_index, int error);

  // Blocks whose part id is in parts become Written without reading the disk.
  void RestoreCompleted(const RangeSet& parts);
  // Reads one block from disk and checks its MD5; a matching block becomes
  // Written. scratch is reused between calls. True when the block matched.
  bool VerifyBlockOnDisk(std::uint32_t index, std::vector<char>& scratch);
  void SetHttpBegin(std::uint32_t location);

  // The file's lock: back-end calls, cursors, completed set and resume save.
  std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock<std::recursive_mutex>(mutex_); }
  FileBlockAllocator& allocator() { return *allocator_; }

  std::uint32_t id() const { return id_; }
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  std::uint32_t size() const { return size_; }
  const Md5Digest& md5() const { return md5_; }
  bool existed_before() const { return existed_before_; }
  std::uint32_t block_count() const { return static_cast<std::uint32_t>(blocks_.size()); }
  FileBlock* block(std::uint32_t index) { return index < blocks_.size() ? blocks_[index].get() : nullptr; }
  // The block holding the byte, or nullptr.
  FileBlock* FindBlock(std::uint32_t offset);
  std::uint64_t completed_bytes();
  RangeSet completed_parts();
  bool read_only();

  // Bit i set once block i's completion was announced; grows only.
  std::vector<std::uint8_t> HaveBitmap();
  // 2 bits per block (the BlockState), into a zeroed buffer of (n + 3) / 4
  // bytes; filled only when entries >= the block count.
  bool StateBitmap(std::uint8_t* out, std::size_t entries);

  // Priority byte ranges raised by the controlling program.
  struct PrioritySegment {
    std::uint32_t start = 0, length = 0, level = 0;
  };
  void AddPriority(const PrioritySegment& segment);
  std::vector<PrioritySegment> priorities();

  // Block list in order, cursor walks and completed bytes agree.
  void check_invariant();

 private:
  friend class FileSystem;
  void SetHaveBit(std::uint32_t index);
  // Counters, completed set, notice; under the file lock.
  void BlockFoundWritten(FileBlock& block);
  std::size_t FindIndex(std::uint32_t offset) const;

  FileSystem& owner_;
  const std::uint32_t id_;
  const std::string name_;
  const std::string path_;
  const std::uint32_t size_;
  const Md5Digest md5_;
  bool existed_before_ = false;
  std::vector<std::unique_ptr<FileBlock>> blocks_;
  std::unique_ptr<FileBlockAllocator> allocator_;

  std::recursive_mutex mutex_;
  std::unique_ptr<IFile> backend_;
  std::uint64_t completed_bytes_ = 0;
  RangeSet completed_;
  bool flushed_ = false;
  bool read_only_ = false;
  std::vector<PrioritySegment> priorities_;

  std::mutex have_mutex_;
  std::vector<std::uint8_t> have_;
};

}  // namespace zelt
