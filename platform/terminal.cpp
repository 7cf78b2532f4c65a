#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace platform::terminal {

bool IsTerminal(std::FILE* stream) {
  return stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

int Columns(std::FILE* stream) {
  if (!IsTerminal(stream)) return 0;
  winsize size{};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::optional<std::string> ReadLine(std::FILE* stream, std::size_t max_bytes) {
  if (stream == nullptr) return std::nullopt;
  const int fd = ::fileno(stream);
  std::string line;
  bool any = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any ? std::optional<std::string>(line) : std::nullopt;
    any = true;
    if (c == '\n') break;
    if (line.size() < max_bytes) line += c;
  }
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace platform::terminal
