// One block of a target file: exactly one part of the seed. Data arrives in
// arbitrary byte ranges; the block gathers it in memory, checks the whole
// against the part's MD5 and then waits to be written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "downloader/storage/range_set.h"
#include "downloader/storage/seed_document.h"

namespace zelt {

enum class BlockState : std::uint8_t {
  kFree = 0,       // no source owns it
  kAllocated = 1,  // handed to a source; data may arrive
  kVerified = 2,   // complete and matching, in memory, waiting for the disk
  kWritten = 3,    // on disk (or found correct there)
};

// MD5 of a byte range (OpenSSL libcrypto).
Md5Digest Md5Of(const void* data, std::size_t length);

class FileBlock {
 public:
  FileBlock(std::uint32_t file_id, std::uint32_t index, const PartEntry& part);
  FileBlock(const FileBlock&) = delete;
  FileBlock& operator=(const FileBlock&) = delete;

  struct Accepted {
    // Change of the received byte count: the bytes newly received, or, when
    // the block failed its MD5, minus every byte counted for it before.
    std::int64_t bytes = 0;
    bool verified = false;      // this call completed and verified the block
    bool md5_failed = false;    // this call completed it and the MD5 differed
    bool outside = false;       // the data did not touch the block
  };
  // Takes the part of [offset, offset + length) that falls into the block.
  Accepted BufferAndVerify(const char* data, std::uint32_t offset, std::uint32_t length);

  // Free -> Allocated; false in any other state.
  bool TryAllocate();
  // Allocated -> Free (the source gave up); other states are left alone.
  void ReleaseAllocation();
  // Free or Allocated -> Written without data (resume restore, disk scan);
  // false when the block was already Verified or Written.
  bool MarkFoundWritten();
  // Verified -> Written once the disk write completed; drops the buffer.
  bool MarkWritten();
  // Copies bytes of a Verified block out of its buffer; false in any other state.
  bool CopyVerified(char* out, std::uint32_t offset, std::uint32_t length);
  // The buffer of a Verified block (stable until MarkWritten).
  const char* verified_data() const { return buffer_.get(); }

  BlockState state() const { return state_.load(std::memory_order_acquire); }
  std::uint32_t file_id() const { return file_id_; }
  std::uint32_t index() const { return index_; }
  std::uint32_t part_id() const { return part_id_; }
  std::uint32_t start() const { return start_; }
  std::uint32_t length() const { return length_; }
  // Last byte offset; only meaningful for length > 0.
  std::uint32_t last() const { return start_ + length_ - 1; }
  const Md5Digest& md5() const { return md5_; }
  std::uint32_t missing_count();
  bool has_buffer();

  // Missing set within [start, last] and its count agree with the state.
  void check_invariant();

 private:
  void CheckLocked() const;

  const std::uint32_t file_id_;
  const std::uint32_t index_;
  const std::uint32_t part_id_;
  const std::uint32_t start_;
  const std::uint32_t length_;
  const Md5Digest md5_;

  std::mutex mutex_;
  std::atomic<BlockState> state_{BlockState::kFree};
  std::unique_ptr<char[]> buffer_;
  RangeSet missing_;
};

}  // namespace zelt
