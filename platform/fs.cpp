#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::fs {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Native(std::string_view path) { return NativePath(path); }

// The sharing rules live in lock bytes far beyond any real file length. Each
// opener holds a read lock on the "does" byte of every access it has and on
// the "denies" byte of every access it refuses to others; after taking them it
// checks that no other opener holds the opposite byte. Read locks never
// conflict with each other, so two openers that both deny writing coexist, as
// they should. Locking before checking means two racing openers may both fail,
// never both succeed.
constexpr off_t kLockBase = static_cast<off_t>(1) << 62;
constexpr off_t kReadDoes = kLockBase;
constexpr off_t kReadDenied = kLockBase + 1;
constexpr off_t kWriteDoes = kLockBase + 2;
constexpr off_t kWriteDenied = kLockBase + 3;

bool TakeReadLock(int fd, off_t start) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when another open file description holds a lock on the byte.
bool HeldByOthers(int fd, off_t start) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

}  // namespace

std::string NativePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    char n = IsSeparator(c) ? '/' : c;
    if (n == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(n);
  }
  return out;
}

bool Exists(std::string_view path) {
  struct stat st;
  return ::stat(Native(path).c_str(), &st) == 0;
}

bool IsDirectory(std::string_view path) {
  struct stat st;
  return ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(std::string_view path) {
  struct stat st;
  return ::stat(Native(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::uint64_t> FileSize(std::string_view path) {
  struct stat st;
  if (::stat(Native(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool MakeDirectory(std::string_view path) {
  std::string p = Native(path);
  if (::mkdir(p.c_str(), 0755) == 0) return true;
  return errno == EEXIST && IsDirectory(p);
}

bool MakeDirectories(std::string_view path) {
  std::string p = Native(path);
  if (p.empty()) return false;
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string part = p.substr(0, i);
      if (!IsDirectory(part) && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    }
  }
  return IsDirectory(p);
}

bool RemoveFile(std::string_view path) { return ::unlink(Native(path).c_str()) == 0; }

bool RemoveEmptyDirectory(std::string_view path) { return ::rmdir(Native(path).c_str()) == 0; }

bool RemoveTree(std::string_view path) {
  std::string p = Native(path);
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(p.c_str()) == 0;
  if (auto entries = ListDirectory(p)) {
    for (const auto& e : *entries) RemoveTree(p + "/" + e.name);
  }
  return ::rmdir(p.c_str()) == 0;
}

bool MoveFile(std::string_view from, std::string_view to, bool replace) {
  std::string f = Native(from), t = Native(to);
  if (!replace) {
    // Checked before the rename: good enough for one installation's files,
    // which no second writer touches at the same moment.
    struct stat st;
    if (::lstat(t.c_str(), &st) == 0) {
      errno = EEXIST;
      return false;
    }
  }
  return ::rename(f.c_str(), t.c_str()) == 0;
}

bool CopyFile(std::string_view from, std::string_view to, bool fail_if_exists) {
  std::string f = Native(from), t = Native(to);
  // O_NONBLOCK: a FIFO in the source's place must not block the open.
  int in = ::open(f.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (fail_if_exists ? O_EXCL : O_TRUNC);
  int out = ::open(t.c_str(), flags, st.st_mode & 07777);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) ::unlink(t.c_str());
  return ok;
}

bool IsReadOnly(std::string_view path) {
  struct stat st;
  if (::stat(Native(path).c_str(), &st) != 0) return false;
  return (st.st_mode & 0222) == 0;
}

bool SetReadOnly(std::string_view path, bool read_only) {
  std::string p = Native(path);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = read_only ? (mode & ~0222) : (mode | 0200);
  return ::chmod(p.c_str(), mode) == 0;
}

bool SetExecutable(std::string_view path) {
  std::string p = Native(path);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return false;
  return ::chmod(p.c_str(), (st.st_mode & 07777) | 0100) == 0;
}

std::optional<std::vector<DirEntry>> ListDirectory(std::string_view path) {
  std::string p = Native(path);
  DIR* dir = ::opendir(p.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<DirEntry> entries;
  while (struct dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    if (e->d_type == DT_DIR) {
      entry.is_directory = true;
    } else if (e->d_type == DT_UNKNOWN) {
      entry.is_directory = IsDirectory(p + "/" + entry.name);
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  return entries;
}

bool ReadWholeFile(std::string_view path, std::string& out, std::uint64_t max_bytes) {
  out.clear();
  File f;
  if (!f.Open(path, Access::Read, Disposition::OpenExisting)) return false;
  auto size = f.Size();
  if (!size || static_cast<std::uint64_t>(*size) > max_bytes) return false;
  out.resize(static_cast<std::size_t>(*size));
  if (!out.empty() && !f.ReadExact(out.data(), out.size())) {
    out.clear();
    return false;
  }
  return true;
}

bool WriteWholeFile(std::string_view path, std::string_view data) {
  File f;
  if (!f.Open(path, Access::Write, Disposition::CreateAlways)) return false;
  return f.WriteAll(data);
}

std::optional<std::uint64_t> FreeSpace(std::string_view path) {
  struct statvfs sv;
  if (::statvfs(Native(path).c_str(), &sv) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(sv.f_bavail) * sv.f_frsize;
}

std::string TempDirectory() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t != nullptr && *t != '\0') ? t : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string MakeTempDirectory(std::string_view prefix) {
  std::string tmpl = TempDirectory() + "/" + std::string(prefix) + "XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) return {};
  return tmpl;
}

std::string CurrentDirectory() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
  return buffer;
}

std::string LastErrorText() { return std::strerror(errno); }

// ---- File ----

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(other.fd_), open_error_(other.open_error_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    open_error_ = other.open_error_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::Open(std::string_view path, Access access, Disposition disposition, Share share) {
  Close();
  open_error_ = OpenError::None;
  std::string p = Native(path);
  bool reads = access != Access::Write;
  bool writes = access != Access::Read;

  // Always open with read access too, so that the presence locks (read locks)
  // can be taken whatever the caller asked for.
  // O_NONBLOCK: opening a FIFO (or a device) must never wait for a peer;
  // such files are refused below and the flag is cleared for regular ones.
  int flags = O_CLOEXEC | O_NONBLOCK | (writes ? O_RDWR : O_RDONLY);
  switch (disposition) {
    case Disposition::OpenExisting: break;
    case Disposition::CreateAlways: flags |= O_CREAT; break;
    case Disposition::OpenAlways: flags |= O_CREAT; break;
    case Disposition::CreateNew: flags |= O_CREAT | O_EXCL; break;
    case Disposition::TruncateExisting: break;
  }
  int fd = ::open(p.c_str(), flags, 0644);
  if (fd < 0) {
    switch (errno) {
      case ENOENT: open_error_ = OpenError::NotFound; break;
      case EEXIST: open_error_ = OpenError::Exists; break;
      case EACCES: case EPERM: case EROFS: open_error_ = OpenError::Denied; break;
      default: open_error_ = OpenError::Other; break;
    }
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Only regular files hold data of ours: a directory, FIFO, socket or
    // device in a file's place is unreadable.
    const bool directory = S_ISDIR(st.st_mode);
    ::close(fd);
    open_error_ = OpenError::Denied;
    errno = directory ? EISDIR : EACCES;
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  bool deny_read = share == Share::None;
  bool deny_write = share != Share::ReadWrite;
  bool locked = (!reads || TakeReadLock(fd, kReadDoes)) &&
                (!writes || TakeReadLock(fd, kWriteDoes)) &&
                (!deny_read || TakeReadLock(fd, kReadDenied)) &&
                (!deny_write || TakeReadLock(fd, kWriteDenied));
  bool conflict = !locked || (reads && HeldByOthers(fd, kReadDenied)) ||
                  (writes && HeldByOthers(fd, kWriteDenied)) ||
                  (deny_read && HeldByOthers(fd, kReadDoes)) ||
                  (deny_write && HeldByOthers(fd, kWriteDoes));
  if (conflict) {
    ::close(fd);
    open_error_ = OpenError::SharingViolation;
    errno = EBUSY;
    return false;
  }

  if (disposition == Disposition::CreateAlways || disposition == Disposition::TruncateExisting) {
    if (::ftruncate(fd, 0) != 0) {
      ::close(fd);
      open_error_ = OpenError::Other;
      return false;
    }
  }
  fd_ = fd;
  return true;
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::int64_t File::Read(void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

std::int64_t File::Write(const void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::write(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool File::WriteAll(std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    auto n = Write(data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool File::ReadExact(void* buffer, std::size_t size) {
  auto* p = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    auto n = Read(p + done, size - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Seek(std::int64_t offset) {
  return offset >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == offset;
}

std::optional<std::int64_t> File::Tell() const {
  off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) return std::nullopt;
  return pos;
}

std::optional<std::int64_t> File::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  return st.st_size;
}

bool File::SetLength(std::int64_t length) {
  return length >= 0 && ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
}

bool File::Flush() { return ::fsync(fd_) == 0; }

}  // namespace platform::fs
