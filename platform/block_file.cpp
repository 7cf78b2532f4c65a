#include "platform/block_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "platform/fs.h"
#include "platform/last_error.h"

namespace platform {

BlockFile::~BlockFile() { Close(); }

bool BlockFile::Fail() {
  error_ = LastErrorCode();
  return false;
}

bool BlockFile::Open(std::string_view path, bool writable) {
  Close();
  const std::string native = fs::NativePath(path);
  const int flags = (writable ? (O_RDWR | O_CREAT) : O_RDONLY) | O_CLOEXEC;
  fd_ = ::open(native.c_str(), flags, 0644);
  if (fd_ < 0) return Fail();
  struct stat st {};
  errno = 0;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Directories and devices are not files we can keep blocks in.
    if (errno == 0 || (st.st_mode & S_IFMT) != S_IFREG) errno = EISDIR;
    Fail();
    Close();
    return false;
  }
  writable_ = writable;
  error_ = 0;
  return true;
}

void BlockFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  writable_ = false;
}

std::optional<std::uint64_t> BlockFile::Size() {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    Fail();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

bool BlockFile::SetSize(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return Fail();
  return true;
}

bool BlockFile::Reserve(std::uint64_t offset, std::uint64_t length) {
  const int rc = ::posix_fallocate(fd_, static_cast<off_t>(offset), static_cast<off_t>(length));
  if (rc == 0) return true;
  // File systems without allocation support fall back to writing.
  if (rc == EOPNOTSUPP || rc == EINVAL) return true;
  errno = rc;
  return Fail();
}

bool BlockFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  while (length > 0) {
    const ssize_t n = ::pread(fd_, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) {
      errno = EIO;  // the file ends before the range does
      error_ = 38;  // "reached the end of the file"
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool BlockFile::WriteAt(const void* buffer, std::size_t length, std::uint64_t offset) {
  const auto* p = static_cast<const char*>(buffer);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd_, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    p += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool BlockFile::Flush() {
  if (::fdatasync(fd_) != 0) return Fail();
  return true;
}

MappedView::~MappedView() { Unmap(); }

std::size_t MappedView::Granularity() {
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

bool MappedView::Map(BlockFile& file, std::uint64_t offset, std::size_t length, bool writable) {
  Unmap();
  const std::uint64_t base = offset - offset % Granularity();
  const std::size_t lead = static_cast<std::size_t>(offset - base);
  if (length == 0) {
    data_ = nullptr;
    length_ = 0;
    return true;
  }
  void* p = ::mmap(nullptr, lead + length, writable ? (PROT_READ | PROT_WRITE) : PROT_READ,
                   MAP_SHARED, file.descriptor(), static_cast<off_t>(base));
  if (p == MAP_FAILED) {
    error_ = LastErrorCode();
    return false;
  }
  base_ = p;
  mapped_ = lead + length;
  data_ = static_cast<char*>(p) + lead;
  length_ = length;
  error_ = 0;
  return true;
}

void MappedView::Unmap() {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  base_ = nullptr;
  mapped_ = 0;
  data_ = nullptr;
  length_ = 0;
}

bool MappedView::Flush() {
  if (base_ == nullptr) return true;
  if (::msync(base_, mapped_, MS_SYNC) != 0) {
    error_ = LastErrorCode();
    return false;
  }
  return true;
}

bool MakeParentDirectories(std::string_view file_path) {
  const std::string native = fs::NativePath(file_path);
  const std::size_t slash = native.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  return fs::MakeDirectories(native.substr(0, slash));
}

void LowerThreadPriority() {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, tid, 2);  // one step below, not idle
}

bool LimitFileSize(std::uint64_t bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit rl;
  if (::getrlimit(RLIMIT_FSIZE, &rl) != 0) return false;
  rl.rlim_cur = bytes == 0 ? rl.rlim_max : static_cast<rlim_t>(bytes);
  return ::setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

}  // namespace platform
