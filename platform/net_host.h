// The host's own name, for the downloader's local address.
#pragma once

#include <optional>
#include <string>

#include "platform/net.h"

namespace platform::net {

// The host name (gethostname); nullopt with the last error set on failure.
std::optional<std::string> HostName();

}  // namespace platform::net
