// The verification table of a backup, "checkinfo.lst": one "%s %d" line per
// saved file (relative name, size of the saved copy), CR LF line ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::patch {

inline constexpr std::string_view kVerifyTableName = "checkinfo.lst";
// A table longer than this is not read (it would name far more files than
// any package holds).
inline constexpr std::uint64_t kMaxVerifyTableBytes = 16u << 20;

class VerifyTable {
 public:
  enum class Mode { Read = 0, Write = 1 };
  struct Entry {
    std::string name;
    std::int64_t size = 0;
  };

  // Mode::Read reads the table at once (a missing file gives no entries).
  VerifyTable(std::string table_path, std::string base_directory, Mode mode);
  // Mode::Write writes the table (created or emptied) unless already written.
  ~VerifyTable();
  VerifyTable(const VerifyTable&) = delete;
  VerifyTable& operator=(const VerifyTable&) = delete;

  // Write mode: records the size of base directory + "/" + name.
  bool AddFile(std::string_view name);
  // Read mode: true when there are entries and every saved copy exists with
  // its recorded size.
  bool Verify() const;
  std::vector<std::string> Names() const;
  const std::vector<Entry>& entries() const { return entries_; }
  // Write mode: writes the file now; false when it cannot be created.
  bool Write();
  // Write mode: the table is given up and never written (failed backup).
  void Discard() { written_ = true; }

 private:
  void Load();

  Mode mode_;
  std::vector<Entry> entries_;
  std::string table_path_;
  std::string base_directory_;
  bool written_ = false;
};

// Size of a file opened for reading; -1 when it cannot be opened or sized.
std::int64_t SizeOfFile(std::string_view path);

}  // namespace kestra::patch
