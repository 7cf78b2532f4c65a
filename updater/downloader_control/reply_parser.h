// Reply lines of the downloader core: "[" tag "]" key "=" value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "updater/downloader_control/downloader_status.h"

namespace kestra::dlctl {

// Keys the updater reads are always kept; other keys (log lines of the core,
// replies nobody asked for) only while the map holds fewer entries than this.
inline constexpr std::size_t kMaxReplyKeys = 64;

// Stores one received line in the map. Lines without "[", "]" or "=" are
// ignored; the tag is not used; key and value are trimmed of blanks, tabs,
// carriage returns and line feeds.
void ParseReplyLine(std::string_view line, ReplyMap& replies);

// Free bytes for the caller on the file system holding a directory; nullopt
// when it cannot be determined.
using FreeSpaceFunction = std::function<std::optional<std::uint64_t>(const std::string&)>;

// Class of an "Error" value; nullopt for a value the updater does not know
// (the class then stays as it was). "WriteFile" asks for the free space of
// target_dir: below the missing bytes is a full disk, otherwise (or when it
// cannot be told) a write error.
std::optional<std::int32_t> ClassifyError(std::string_view value,
                                          std::uint64_t incomplete_bytes,
                                          const std::string& target_dir,
                                          const FreeSpaceFunction& free_space);

// Derives the status from the latest replies, key by key. A value that does
// not read as a number of its kind (or is not finite) leaves its field as it
// was. "FileName" other than ":" is stored and clears ask_file_name.
void InterpretReplies(const ReplyMap& replies, DownloaderStatus& status, bool& ask_file_name,
                      const std::string& target_dir, const FreeSpaceFunction& free_space);

// Number readers used above: a leading decimal number ("12abc" reads 12),
// optionally signed where the kind allows; nullopt for none or out of range.
std::optional<std::int32_t> ReadInt32(std::string_view text);
std::optional<std::uint64_t> ReadUInt64(std::string_view text);
std::optional<float> ReadFloat(std::string_view text);

}  // namespace kestra::dlctl
