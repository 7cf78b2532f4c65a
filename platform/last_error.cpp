#include "platform/last_error.h"

#include <cerrno>

namespace platform {

int LastErrorCode() {
  switch (errno) {
    case 0:
      return 0;
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return 5;
    case EAGAIN:
    case EBUSY:
    case ETXTBSY:
      return 32;
    case ENOSPC:
      return 112;
    case EEXIST:
    case ENOTEMPTY:
      return 183;
    case ENAMETOOLONG:
      return 206;
    default:
      return 31;  // a device or system failure
  }
}

}  // namespace platform
