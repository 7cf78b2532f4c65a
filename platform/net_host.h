// Socket calls the downloader's network code needs beyond platform/net.h:
// the host's own name, and ending both directions of a socket from another
// thread (a receive blocked or waiting on it returns at once).
#pragma once

#include <optional>
#include <string>

#include "platform/net.h"

namespace platform::net {

// The host name (gethostname); nullopt with the last error set on failure.
std::optional<std::string> HostName();

// shutdown(SHUT_RDWR) on the handle; the handle stays open and owned by its
// socket. Safe to call while another thread waits on or reads the socket.
bool ShutdownBoth(Handle handle);

}  // namespace platform::net
