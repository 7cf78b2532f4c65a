// Positional file I/O, memory-mapped views and the few thread and process
// settings the block storage of the downloader core needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// A file read and written at explicit offsets, so that several threads can
// use one descriptor without sharing a file position. Failures leave the
// system error code (LastErrorCode numbering) in error().
class BlockFile {
 public:
  BlockFile() = default;
  ~BlockFile();
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  // writable: read and write, created when missing; otherwise read only.
  bool Open(std::string_view path, bool writable);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  bool writable() const { return writable_; }

  std::optional<std::uint64_t> Size();
  // Truncates or extends (the new bytes read as zeros).
  bool SetSize(std::uint64_t size);
  // Reserves disk blocks for the range so that later writes through a
  // mapping cannot run out of space.
  bool Reserve(std::uint64_t offset, std::uint64_t length);
  // Whole buffers or failure.
  bool ReadAt(void* buffer, std::size_t length, std::uint64_t offset);
  bool WriteAt(const void* buffer, std::size_t length, std::uint64_t offset);
  bool Flush();

  int error() const { return error_; }
  int descriptor() const { return fd_; }

 private:
  bool Fail();

  int fd_ = -1;
  bool writable_ = false;
  int error_ = 0;
};

// A view of part of a BlockFile. The offset is rounded down to the system's
// allocation granularity; data() points at the byte asked for.
class MappedView {
 public:
  MappedView() = default;
  ~MappedView();
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  bool Map(BlockFile& file, std::uint64_t offset, std::size_t length, bool writable);
  void Unmap();
  // Writes the view's dirty pages back.
  bool Flush();
  char* data() const { return data_; }
  std::size_t size() const { return length_; }
  int error() const { return error_; }

  static std::size_t Granularity();

 private:
  void* base_ = nullptr;
  std::size_t mapped_ = 0;
  char* data_ = nullptr;
  std::size_t length_ = 0;
  int error_ = 0;
};

// Creates every missing folder above the file; true when the folder exists.
bool MakeParentDirectories(std::string_view file_path);

// Lowers the calling thread's scheduling priority (below normal).
void LowerThreadPriority();

// Writes at or beyond the limit fail from then on (EFBIG, reported as a
// system error); the signal such writes raise is ignored. Tests use it to
// provoke write failures even for the superuser. 0 lifts the limit.
bool LimitFileSize(std::uint64_t bytes);

}  // namespace platform
