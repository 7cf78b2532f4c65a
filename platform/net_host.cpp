#include "platform/net_host.h"

#include <cerrno>
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

}  // namespace platform::net
