#include "downloader/storage/block_allocator.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>

#include "downloader/framework/log.h"
#include "downloader/storage/file.h"
#include "downloader/storage/file_manager.h"
#include "platform/clock.h"

namespace zelt {

namespace {

constexpr const char* kGlobalModule = "GlobalBlockAllocator";

bool IsDone(BlockState s) { return s == BlockState::kVerified || s == BlockState::kWritten; }

[[noreturn]] void InvariantFailed(const char* what) {
  std::fprintf(stderr, "FileBlockAllocator invariant failed: %s\n", what);
  std::abort();
}

// Above this many blocks the full check is left to explicit calls.
[[maybe_unused]] constexpr std::uint32_t kCheckEveryCallBelow = 4096;

}  // namespace

FileBlockAllocator::FileBlockAllocator(std::vector<FileBlock*> blocks)
    : blocks_(std::move(blocks)), n_(static_cast<std::uint32_t>(blocks_.size())) {
  back_ = n_ == 0 ? 0 : n_ - 1;
}

bool FileBlockAllocator::Done(std::uint32_t i) const { return IsDone(blocks_[i]->state()); }

std::uint32_t FileBlockAllocator::OpenSpan() const {
  return n_ == 0 ? 0 : (back_ + n_ - front_) % n_ + 1;
}

void FileBlockAllocator::CheckOften() const {
#if !defined(NDEBUG) || defined(KESTRA_CHECK_INVARIANTS)
  if (n_ < kCheckEveryCallBelow) check_invariant();
#endif
}

void FileBlockAllocator::check_invariant() const {
  if (n_ == 0) return;
  if (begin_ >= n_ || front_ >= n_ || back_ >= n_) InvariantFailed("cursor out of range");
  // Steps the HttpCursor made from begin, and the PeerCursor from begin - 1.
  const std::uint32_t f = (front_ + n_ - begin_) % n_;
  const std::uint32_t b = (Prev(begin_) + n_ - back_) % n_;
  if (f + b > n_ - 1) InvariantFailed("cursors crossed");
  if (front_ == back_ && f + b != n_ - 1) InvariantFailed("cursors meet off their walks");
  for (std::uint32_t i = begin_, k = 0; k < f; ++k, i = Next(i))
    if (!Done(i)) InvariantFailed("HttpCursor passed an incomplete block");
  for (std::uint32_t i = Prev(begin_), k = 0; k < b; ++k, i = Prev(i))
    if (!Done(i)) InvariantFailed("PeerCursor passed an incomplete block");
}

void FileBlockAllocator::SetHttpBegin(std::uint32_t location) {
  if (n_ == 0) return;
  begin_ = front_ = location % n_;
  back_ = Prev(begin_);
  CheckOften();
}

void FileBlockAllocator::Tighten() {
  if (n_ == 0) return;
  CheckOften();
  while (front_ != back_ && Done(front_)) front_ = Next(front_);
  while (back_ != front_ && Done(back_)) back_ = Prev(back_);
}

bool FileBlockAllocator::NothingLeft() const {
  return n_ == 0 || (front_ == back_ && Done(front_));
}

std::size_t FileBlockAllocator::AllocHttpRun(std::vector<FileBlock*>& out, std::size_t max) {
  CheckOften();
  std::size_t taken = 0;
  std::uint32_t i = front_;
  for (std::uint32_t k = OpenSpan(); k > 0 && taken < max; --k) {
    if (blocks_[i]->TryAllocate()) {
      out.push_back(blocks_[i]);
      ++taken;
    } else if (taken > 0) {
      break;  // the run stays contiguous
    }
    if (taken > 0 && i + 1 == n_) break;  // and never wraps into block 0
    i = Next(i);
  }
  return taken;
}

std::size_t FileBlockAllocator::AllocPeerBlocks(std::vector<FileBlock*>& out, std::size_t max) {
  CheckOften();
  std::size_t taken = 0;
  std::uint32_t i = back_;
  for (std::uint32_t k = OpenSpan(); k > 0 && taken < max; --k, i = Prev(i)) {
    if (blocks_[i]->TryAllocate()) {
      out.push_back(blocks_[i]);
      ++taken;
    }
  }
  return taken;
}

std::size_t FileBlockAllocator::CollectFree(std::vector<FileBlock*>& out, std::size_t max) const {
  std::size_t found = 0;
  std::uint32_t i = back_;
  for (std::uint32_t k = OpenSpan(); k > 0 && found < max; --k, i = Prev(i)) {
    if (blocks_[i]->state() == BlockState::kFree) {
      out.push_back(blocks_[i]);
      ++found;
    }
  }
  return found;
}

std::size_t FileBlockAllocator::CollectDone(std::vector<FileBlock*>& out, std::size_t max) const {
  if (n_ == 0) return 0;
  std::size_t found = 0;
  const std::uint32_t f = (front_ + n_ - begin_) % n_;
  std::uint32_t i = begin_;
  for (std::uint32_t k = 0; k <= f && found < max; ++k, i = Next(i)) {
    if (Done(i)) {
      out.push_back(blocks_[i]);
      ++found;
    }
  }
  // When the cursors have met, the backward walk ends on the block the
  // forward walk already gave.
  std::uint32_t b = (Prev(begin_) + n_ - back_) % n_ + 1;
  if (front_ == back_) --b;
  i = Prev(begin_);
  for (std::uint32_t k = 0; k < b && found < max; ++k, i = Prev(i)) {
    if (Done(i)) {
      out.push_back(blocks_[i]);
      ++found;
    }
  }
  return found;
}

GlobalBlockAllocator::GlobalBlockAllocator(FileManager& files)
    : GlobalBlockAllocator(files, 0) {
  const std::uint32_t seed = platform::clock::TickCount() *
                             static_cast<std::uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  random_.seed(seed == 0 ? 1 : seed);
  start_file_ = static_cast<std::uint32_t>(random_());
}

GlobalBlockAllocator::GlobalBlockAllocator(FileManager& files, std::uint32_t start_file)
    : files_(files), start_file_(start_file), random_(start_file == 0 ? 1 : start_file) {}

std::uint32_t GlobalBlockAllocator::RandomStart(std::size_t count) {
  std::lock_guard<std::mutex> lock(random_mutex_);
  return static_cast<std::uint32_t>(random_() % count);
}

FileBlock* GlobalBlockAllocator::AllocBlock(std::uint32_t file_id, std::uint32_t block_index) {
  File* file = files_.Find(file_id);
  if (file == nullptr || block_index >= file->block_count()) return nullptr;
  auto lock = file->Lock();
  FileBlock* block = file->block(block_index);
  return block->TryAllocate() ? block : nullptr;
}

std::size_t GlobalBlockAllocator::AllocRun(std::vector<FileBlock*>& out, std::size_t max, bool http_mode) {
  const std::vector<File*> files = files_.Ordered();
  if (files.empty() || max == 0) return 0;
  const std::size_t start = start_file_ % files.size();
  for (std::size_t k = 0; k < files.size(); ++k) {
    File* file = files[(start + k) % files.size()];
    auto lock = file->Lock();
    FileBlockAllocator& a = file->allocator();
    a.Tighten();
    if (a.NothingLeft()) continue;
    const std::size_t got = http_mode ? a.AllocHttpRun(out, max) : a.AllocPeerBlocks(out, max);
    if (got > 0) {
      ZLOG(log::kTrace, kGlobalModule, "AllocRun file=%u first=%u count=%zu http=%d", file->id(),
           out[out.size() - got]->index(), got, http_mode ? 1 : 0);
      return got;
    }
  }
  return 0;
}

std::size_t GlobalBlockAllocator::CollectFree(std::vector<FileBlock*>& out, std::size_t max) {
  return CollectFromEachFile(out, max, &FileBlockAllocator::CollectFree);
}

std::size_t GlobalBlockAllocator::CollectDone(std::vector<FileBlock*>& out, std::size_t max) {
  return CollectFromEachFile(out, max, &FileBlockAllocator::CollectDone);
}

std::size_t GlobalBlockAllocator::CollectFromEachFile(std::vector<FileBlock*>& out, std::size_t max,
                                                      CollectStep step) {
  const std::vector<File*> files = files_.Ordered();
  if (files.empty()) return 0;
  const std::size_t start = RandomStart(files.size());
  std::size_t found = 0;
  for (std::size_t k = 0; k < files.size() && found < max; ++k) {
    File* file = files[(start + k) % files.size()];
    auto lock = file->Lock();
    file->allocator().Tighten();
    found += (file->allocator().*step)(out, max - found);
  }
  return found;
}

}  // namespace zelt
