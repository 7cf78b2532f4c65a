// Which blocks each source fetches next.
//
// The blocks of a file form a ring. HTTP sources walk forward from the HTTP
// begin block (the HttpCursor, "front"), peers walk backward from the block
// before it (the PeerCursor, "back"), and the two meet. Blocks the cursors
// have passed are all Verified or Written; both only ever move towards each
// other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "downloader/storage/file_block.h"

namespace zelt {

class FileManager;
class File;

class FileBlockAllocator {
 public:
  // blocks: the file's blocks in order; they outlive the allocator.
  explicit FileBlockAllocator(std::vector<FileBlock*> blocks);

  std::uint32_t block_count() const { return n_; }
  std::uint32_t begin() const { return begin_; }
  std::uint32_t front() const { return front_; }  // HttpCursor
  std::uint32_t back() const { return back_; }    // PeerCursor

  // begin = front = location mod n, back = begin - 1 (n - 1 for begin 0).
  void SetHttpBegin(std::uint32_t location);
  // Moves the cursors over Verified and Written blocks until they meet.
  void Tighten();
  // The cursors met on a Verified or Written block (call after Tighten).
  bool NothingLeft() const;

  // Each appends what it takes or finds to out (at most max in all) and
  // returns how many it added. The caller holds the file's lock for the
  // Alloc* calls.
  //
  // Free blocks forward from the HttpCursor: the first Free block found
  // starts the run, the first block that is not Free ends it, and a run
  // never wraps from the last block to block 0.
  std::size_t AllocHttpRun(std::vector<FileBlock*>& out, std::size_t max);
  // Any Free blocks backward from the PeerCursor to the HttpCursor, through block 0.
  std::size_t AllocPeerBlocks(std::vector<FileBlock*>& out, std::size_t max);
  // Free blocks backward from the PeerCursor to the HttpCursor, left Free.
  std::size_t CollectFree(std::vector<FileBlock*>& out, std::size_t max) const;
  // Verified or Written blocks from begin forward to the HttpCursor, then
  // from begin - 1 backward to the PeerCursor.
  std::size_t CollectDone(std::vector<FileBlock*>& out, std::size_t max) const;

  // Cursors in range, not crossed, and every passed block complete.
  void check_invariant() const;

 private:
  std::uint32_t Next(std::uint32_t i) const { return i + 1 == n_ ? 0 : i + 1; }
  std::uint32_t Prev(std::uint32_t i) const { return i == 0 ? n_ - 1 : i - 1; }
  // Blocks from front forward to back, both included.
  std::uint32_t OpenSpan() const;
  bool Done(std::uint32_t i) const;
  void CheckOften() const;

  std::vector<FileBlock*> blocks_;
  std::uint32_t n_ = 0;
  std::uint32_t begin_ = 0;
  std::uint32_t front_ = 0;
  std::uint32_t back_ = 0;
};

// Spreads the sources over the files of the task.
class GlobalBlockAllocator {
 public:
  // The start file is drawn from the tick count and the thread.
  explicit GlobalBlockAllocator(FileManager& files);
  GlobalBlockAllocator(FileManager& files, std::uint32_t start_file);

  // The block if it exists and was Free; it is Allocated now.
  FileBlock* AllocBlock(std::uint32_t file_id, std::uint32_t block_index);
  // Visits the files in id order from the start file, wrapping; the first
  // file that gives at least one block ends the visit.
  std::size_t AllocRun(std::vector<FileBlock*>& out, std::size_t max, bool http_mode);
  // Over every file, from a fresh random file each call.
  std::size_t CollectFree(std::vector<FileBlock*>& out, std::size_t max);
  std::size_t CollectDone(std::vector<FileBlock*>& out, std::size_t max);

  std::uint32_t start_file() const { return start_file_; }

 private:
  std::uint32_t RandomStart(std::size_t count);
  using CollectStep = std::size_t (FileBlockAllocator::*)(std::vector<FileBlock*>&, std::size_t) const;
  // Runs the step on every file, from a fresh random file, cursors tightened
  // under each file's lock first.
  std::size_t CollectFromEachFile(std::vector<FileBlock*>& out, std::size_t max, CollectStep step);

  FileManager& files_;
  std::uint32_t start_file_;
  std::mutex random_mutex_;
  std::minstd_rand random_;
};

}  // namespace zelt
