// C stdio streams on files, opened with the same care as platform::fs::File:
// the open never waits (a FIFO in a file's place does not block), and only a
// regular file is opened.
#pragma once

#include <cstdio>
#include <string_view>

namespace platform::fs {

// A binary read stream on path; nullptr when it is missing, unreadable or
// not a regular file. The caller closes it with std::fclose.
std::FILE* OpenReadStream(std::string_view path);

}  // namespace platform::fs
