// Layout of a patch package: a 12-byte header ("DU1T" or "ZB1T", packed
// version, spare word) followed by one bzip2 stream of section records and a
// short trailer. Helpers shared by the reader, the applier, the backup and the
// package builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::patch {

inline constexpr std::size_t kPackageHeaderSize = 12;
inline constexpr std::string_view kMagicDu1t = "DU1T";
inline constexpr std::string_view kMagicZb1t = "ZB1T";

// Section kinds as little-endian words ("IDOM" and "FDDA" in stream order).
inline constexpr std::uint32_t kKindModi = 0x4D4F4449;
inline constexpr std::uint32_t kKindAddf = 0x41444446;

// kind, target length, name length N, name (N bytes), data length D, data.
inline constexpr std::size_t kSectionFixedSize = 16;
// The reader asks for this much at every section start.
inline constexpr std::size_t kSectionHeadReadSize = 13;
// A MODI patch record: skip, length L, L bytes.
inline constexpr std::size_t kPatchRecordHeaderSize = 8;

// Names of the two control sections (compared with ASCII letters lowered).
inline constexpr std::string_view kDeleteListName = "del_list.txt";
inline constexpr std::string_view kMoveListName = "move_list.txt";

std::uint32_t ReadLe32(const std::uint8_t* bytes);
void AppendLe32(std::string& out, std::uint32_t value);

// A view of one complete section record held in memory.
struct SectionView {
  std::uint32_t kind = 0;
  std::uint32_t target_length = 0;
  std::uint32_t name_length = 0;     // N, the zero byte included
  std::string_view name;             // up to the zero byte inside the field
  const std::uint8_t* data = nullptr;
  std::uint32_t data_length = 0;     // D
};
// record must hold at least 16 + N + D bytes (as BzUpdateHelper returns it).
SectionView ViewSection(const std::uint8_t* record);

// "patch%d.%d.%d.tq", or "patch%d.%d.%d.tq.%d" for a micro number above 0.
std::string PackageFileName(std::uint32_t packed_version, int micro_number);

std::string LowerAscii(std::string_view text);

// Removes spaces, "\r" and "\n" from both ends; a line made only of these
// characters comes back unchanged.
std::string TrimLine(std::string_view line);

struct MoveItem {
  std::string source;       // relative to the install root
  std::string destination;  // directory relative to the install root
};
// Lines split at "\n" and trimmed; empty results are skipped.
std::vector<std::string> ParseDeleteList(std::string_view data);
// "A >> B" lines (first ">>" splits, both halves trimmed); others are skipped.
std::vector<MoveItem> ParseMoveList(std::string_view data);

// A name that a package may use for a file of the installation: not empty,
// not absolute, no ":" (drive letter or stream), no NUL, no ".." that climbs
// above the root, and naming something below the root rather than the root
// itself.
// "\\" and "/" are both separators, as they are for the file layer.
bool IsSafeRelativeName(std::string_view name);

// A safe name with "." and ".." resolved and "/" as its only separator.
std::string NormalizeRelative(std::string_view name);

}  // namespace kestra::patch
