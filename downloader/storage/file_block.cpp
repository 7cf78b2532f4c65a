#include "downloader/storage/file_block.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zelt {

namespace {

[[noreturn, maybe_unused]] void InvariantFailed(const FileBlock& b, const char* what) {
  std::fprintf(stderr, "FileBlock %u[%u] invariant failed: %s\n", b.file_id(), b.index(), what);
  std::abort();
}

}  // namespace

Md5Digest Md5Of(const void* data, std::size_t length) {
  Md5Digest out{};
  unsigned int size = 0;
  EVP_Digest(data, length, out.data(), &size, EVP_md5(), nullptr);
  return out;
}

FileBlock::FileBlock(std::uint32_t file_id, std::uint32_t index, const PartEntry& part)
    : file_id_(file_id),
      index_(index),
      part_id_(part.id),
      start_(part.start),
      length_(part.length),
      md5_(part.md5) {
  if (length_ == 0) {
    state_.store(BlockState::kWritten);
  } else {
    missing_.InsertRange(start_, last());
  }
}

void FileBlock::CheckLocked() const {
#if !defined(NDEBUG) || defined(KESTRA_CHECK_INVARIANTS)
  const BlockState s = state_.load();
  if (s == BlockState::kVerified || s == BlockState::kWritten) {
    if (!missing_.Empty()) InvariantFailed(*this, "complete block with missing bytes");
  } else {
    if (length_ > 0 && missing_.Empty()) InvariantFailed(*this, "incomplete block with nothing missing");
  }
  if (s == BlockState::kVerified && !buffer_) InvariantFailed(*this, "verified block without data");
  if (s == BlockState::kWritten && buffer_) InvariantFailed(*this, "written block still holds data");
  std::uint32_t lo = 0, hi = 0;
  if (missing_.First(lo, hi) && lo < start_) InvariantFailed(*this, "missing byte before the block");
  if (missing_.Count() > length_) InvariantFailed(*this, "more missing than the block holds");
  if ((s == BlockState::kFree || s == BlockState::kAllocated) && missing_.Count() < length_ && !buffer_)
    InvariantFailed(*this, "received bytes without a buffer");
#endif
}

void FileBlock::check_invariant() {
  std::lock_guard<std::mutex> lock(mutex_);
  CheckLocked();
}

FileBlock::Accepted FileBlock::BufferAndVerify(const char* data, std::uint32_t offset,
                                               std::uint32_t length) {
  Accepted result;
  std::lock_guard<std::mutex> lock(mutex_);
  CheckLocked();
  const BlockState s = state_.load();
  if (s == BlockState::kVerified || s == BlockState::kWritten || length == 0 || length_ == 0)
    return result;
  // Intersection of [offset, offset + length - 1] with the block, in 64 bits
  // so that data ending at the top of the range cannot wrap.
  const std::uint64_t data_lo = offset;
  const std::uint64_t data_hi = std::uint64_t{offset} + length - 1;
  const std::uint64_t lo = std::max<std::uint64_t>(data_lo, start_);
  const std::uint64_t hi = std::min<std::uint64_t>(data_hi, last());
  if (lo > hi) {
    result.outside = true;
    return result;
  }
  if (!buffer_) buffer_.reset(new char[length_]);
  std::memcpy(buffer_.get() + (lo - start_), data + (lo - data_lo), static_cast<std::size_t>(hi - lo + 1));
  const std::uint64_t before = missing_.Count();
  missing_.RemoveRange(static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi));
  const std::uint64_t after = missing_.Count();
  result.bytes = static_cast<std::int64_t>(before - after);
  if (after != 0 || before == 0) return result;

  if (Md5Of(buffer_.get(), length_) == md5_) {
    state_.store(BlockState::kVerified, std::memory_order_release);
    result.verified = true;
  } else {
    // Everything counted for this block goes: what came before this call,
    // and this call's own bytes are not added.
    result.bytes = -static_cast<std::int64_t>(length_ - before);
    result.md5_failed = true;
    missing_.Clear();
    missing_.InsertRange(start_, last());
    buffer_.reset();
    state_.store(BlockState::kFree, std::memory_order_release);
  }
  return result;
}

bool FileBlock::TryAllocate() {
  std::lock_guard<std::mutex> lock(mutex_);
  CheckLocked();
  if (state_.load() != BlockState::kFree) return false;
  state_.store(BlockState::kAllocated, std::memory_order_release);
  return true;
}

void FileBlock::ReleaseAllocation() {
  std::lock_guard<std::mutex> lock(mutex_);
  CheckLocked();
  if (state_.load() == BlockState::kAllocated) state_.store(BlockState::kFree, std::memory_order_release);
}

bool FileBlock::MarkFoundWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  CheckLocked();
  const BlockState s = state_.load();
  if (s == BlockState::kVerified || s == BlockState::kWritten) return false;
  missing_.Clear();
  buffer_.reset();
  state_.store(BlockState::kWritten, std::memory_order_release);
  return true;
}

bool FileBlock::MarkWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  CheckLocked();
  if (state_.load() != BlockState::kVerified) return false;
  buffer_.reset();
  state_.store(BlockState::kWritten, std::memory_order_release);
  return true;
}

bool FileBlock::CopyVerified(char* out, std::uint32_t offset, std::uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_.load() != BlockState::kVerified) return false;
  if (offset < start_ || std::uint64_t{offset} + length > std::uint64_t{start_} + length_) return false;
  std::memcpy(out, buffer_.get() + (offset - start_), length);
  return true;
}

std::uint32_t FileBlock::missing_count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::uint32_t>(missing_.Count());
}

bool FileBlock::has_buffer() {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffer_ != nullptr;
}

}  // namespace zelt
