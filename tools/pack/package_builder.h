// Building a patch package from an old and a new installation tree: ADDF for
// new files and for files whose edit would not be smaller, MODI with patch
// records for changed files, a delete list for removed files, an optional
// move list, and always a trailer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::pack {

// Bytes after the last section; the reader meets the stream end inside the
// section-start read that follows.
inline constexpr std::string_view kTrailer = "KEND";
// Equal bytes between two changes that are cheaper to rewrite than to skip
// (a record header costs 8 bytes).
inline constexpr std::size_t kMergeGap = 8;

// MODI data turning old into new (the caller sets the target length to the
// new size): records of (forward skip, length, bytes).
std::string MakePatchRecords(std::string_view old_data, std::string_view new_data);

// Writes the header and one bzip2 stream of sections.
class PackageWriter {
 public:
  PackageWriter() = default;
  ~PackageWriter();
  PackageWriter(const PackageWriter&) = delete;
  PackageWriter& operator=(const PackageWriter&) = delete;

  bool Open(const std::string& path, std::string_view magic, std::uint32_t version,
            std::uint32_t spare = 0);
  bool AddSection(std::uint32_t kind, std::uint32_t target_length, std::string_view name,
                  std::string_view data);
  // Raw bytes into the stream (the trailer, or hand-made records in tests).
  bool WriteRaw(std::string_view bytes);
  // Ends the stream and closes the file.
  bool Finish();
  const std::string& error() const { return error_; }

 private:
  std::FILE* file_ = nullptr;
  void* bz_ = nullptr;
  std::string error_;
};

struct BuildOptions {
  std::string old_dir;
  std::string new_dir;
  std::uint32_t version = 0;
  int micro = 0;
  std::string magic = "DU1T";
  std::string move_list_file;  // empty: no move list
  std::string output;          // empty: the package's own name in the current directory
};

struct BuildReport {
  std::string output;
  int added = 0;
  int modified = 0;
  int deleted = 0;
  int moved = 0;
};

// Regular files below dir, relative with "/" separators, sorted.
bool ListTree(const std::string& dir, std::vector<std::string>& names);

bool BuildPackage(const BuildOptions& options, BuildReport& report, std::string& error);

}  // namespace kestra::pack
