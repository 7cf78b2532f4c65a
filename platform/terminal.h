// The terminal a text frontend draws on.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace platform::terminal {

// True when the stream is connected to a terminal.
bool IsTerminal(std::FILE* stream);
// Columns of the terminal behind the stream; 0 when unknown.
int Columns(std::FILE* stream);
// One line from the stream's descriptor, without its line end, read past the
// stream's buffer and lock (so a reader blocked here never holds up a flush
// of all streams at exit); bytes beyond max_bytes are dropped. nullopt at the
// end of the input.
std::optional<std::string> ReadLine(std::FILE* stream, std::size_t max_bytes);

}  // namespace platform::terminal
