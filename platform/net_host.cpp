#include "platform/net_host.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {

std::optional<std::string> HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return std::nullopt;
  }
  return std::string(name);
}

bool ShutdownBoth(Handle handle) {
  if (handle == kInvalidHandle) return false;
  if (::shutdown(handle, SHUT_RDWR) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  return true;
}

}  // namespace platform::net
