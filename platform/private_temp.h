// A place in the temporary directory that only this user can write, for
// programs the updater writes out and then runs. The system temporary
// directory is usually shared by every user of the machine, so a fixed,
// predictable file name directly in it would let another user plant or swap
// the program in between.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::private_temp {

enum class DirectoryCheck {
  Private,       // a real directory of ours that nobody else may write
  Missing,
  NotDirectory,  // a file, or a symbolic link (even to a directory)
  WrongOwner,
  OpenToOthers,  // group or others may write it
};
DirectoryCheck CheckDirectory(std::string_view path);

// $TMPDIR when it is set and passes CheckDirectory; otherwise
// "<system temp>/kestra-<uid>", created with mode 0700 when missing and
// checked before use. nullopt when neither is usable.
std::optional<std::string> Directory();
// The same with the environment and the system directory given (tests).
std::optional<std::string> Directory(const char* tmpdir_env, std::string_view system_temp);

// Writes data as the file name in directory (which must pass CheckDirectory):
// a symbolic link at that name is never followed, anything but a regular file
// of ours there is refused; an existing file is rewritten in place, so it
// fails while a program runs from it. The file gets mode 0700. On failure
// error holds the system error code (ETXTBSY for a running program).
bool WriteExecutable(std::string_view directory, std::string_view name, std::string_view data,
                     int* error = nullptr);

}  // namespace platform::private_temp
