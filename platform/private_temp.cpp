#include "platform/private_temp.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::private_temp {
namespace {

DirectoryCheck CheckStat(const struct stat& info) {
  if (!S_ISDIR(info.st_mode)) return DirectoryCheck::NotDirectory;
  if (info.st_uid != ::geteuid()) return DirectoryCheck::WrongOwner;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return DirectoryCheck::OpenToOthers;
  return DirectoryCheck::Private;
}

void SetError(int* error, int code) {
  if (error) *error = code;
}

}  // namespace

DirectoryCheck CheckDirectory(std::string_view path) {
  if (path.empty()) return DirectoryCheck::Missing;
  struct stat info {};
  if (::lstat(std::string(path).c_str(), &info) != 0) {
    return errno == ENOENT ? DirectoryCheck::Missing : DirectoryCheck::NotDirectory;
  }
  return CheckStat(info);
}

std::optional<std::string> Directory(const char* tmpdir_env, std::string_view system_temp) {
  if (tmpdir_env && *tmpdir_env) {
    std::string dir(tmpdir_env);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (CheckDirectory(dir) == DirectoryCheck::Private) return dir;
  }
  std::string base(system_temp.empty() ? std::string_view("/tmp") : system_temp);
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string dir = base + "/kestra-" + std::to_string(::geteuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  if (CheckDirectory(dir) != DirectoryCheck::Private) return std::nullopt;
  return dir;
}

std::optional<std::string> Directory() {
  return Directory(std::getenv("TMPDIR"), "/tmp");
}

bool WriteExecutable(std::string_view directory, std::string_view name, std::string_view data,
                     int* error) {
  SetError(error, 0);
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
    SetError(error, EINVAL);
    return false;
  }
  int dir_fd = ::open(std::string(directory).c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) {
    SetError(error, errno);
    return false;
  }
  struct stat dir_info {};
  if (::fstat(dir_fd, &dir_info) != 0 || CheckStat(dir_info) != DirectoryCheck::Private) {
    ::close(dir_fd);
    SetError(error, EPERM);
    return false;
  }
  int fd = ::openat(dir_fd, std::string(name).c_str(),
                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0700);
  int open_error = errno;
  ::close(dir_fd);
  if (fd < 0) {
    SetError(error, open_error);
    return false;
  }
  bool ok = true;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      info.st_nlink != 1) {
    SetError(error, EPERM);
    ok = false;
  }
  if (ok && (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0700) != 0)) {
    SetError(error, errno);
    ok = false;
  }
  std::size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t written = ::write(fd, data.data() + done, data.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      SetError(error, written < 0 ? errno : EIO);
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  if (::close(fd) != 0 && ok) {
    SetError(error, errno);
    ok = false;
  }
  return ok;
}

}  // namespace platform::private_temp
