// The patch list as the release tool edits it. The updater reads a list as
// pairs of blank-separated tokens (line breaks mean nothing to it), so the
// tool keeps a list as those pairs, one per line, and writes it back the same
// way: reading and writing never change what the updater selects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::release {

// Bounds on a list the tool agrees to edit; a larger one is not a list.
inline constexpr std::size_t kMaxPatchListBytes = 1u << 20;
inline constexpr std::size_t kMaxPatchListEntries = 20000;

inline constexpr std::string_view kTaskBaseKey = "#bturl";

// One pair as the updater reads it. A control pair ("##N" or "#!N") carries
// a third token; the last pair of a list may lack its second token.
struct ListEntry {
  std::vector<std::string> tokens;
};

enum class EntryKind { Version, Control, TaskBase, Other };

EntryKind KindOf(const ListEntry& entry);
// "%d.%d.%d" as the updater reads a version token (text after the third
// number ignored); nullopt when the token is not a version.
std::optional<std::uint32_t> ScanListVersion(std::string_view token);
// Strict form for versions the tool writes: three plain decimal numbers that
// fit the packed widths (255.255.65535).
std::optional<std::uint32_t> ParseStrictVersion(std::string_view text);

class PatchListDocument {
 public:
  // False with a reason for text that is no list: too large, NUL bytes,
  // too many entries.
  bool Parse(std::string_view text, std::string& error);

  // The task base the updater would use (the last "#bturl"), if any.
  std::optional<std::string> TaskBase() const;
  // The last version line (what the updater compares a micro patch with).
  const ListEntry* LastVersionLine() const;
  std::optional<std::uint32_t> LastVersion() const;
  bool HasControlLine() const;
  // True when the last pair lacks a token: a line appended after it would
  // be read as its missing part.
  bool EndsIncomplete() const;

  // Replaces every "#bturl" pair by one at the top.
  void SetTaskBase(std::string_view url);
  // Replaces every control pair by one after the task base: sharing mode
  // 0..2 and countdown seconds.
  void SetControl(int sharing_mode, int countdown_seconds);
  void AppendVersion(std::uint32_t version, std::string_view url);

  // One pair per line, CR LF line ends.
  std::string Text() const;
  const std::vector<ListEntry>& entries() const { return entries_; }

 private:
  std::vector<ListEntry> entries_;
};

}  // namespace kestra::release
