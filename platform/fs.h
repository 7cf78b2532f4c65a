// Files and directories.
//
// Paths are byte strings (GBK) exactly as the callers build them: "\\" and "/"
// are both separators and doubled separators are accepted; the layer turns a
// path into its POSIX form only when it makes the call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::fs {

// "\\" becomes "/", runs of separators collapse into one.
std::string NativePath(std::string_view path);

bool Exists(std::string_view path);
bool IsDirectory(std::string_view path);
bool IsRegularFile(std::string_view path);
std::optional<std::uint64_t> FileSize(std::string_view path);

// One level; true when the directory exists afterwards.
bool MakeDirectory(std::string_view path);
// Every missing level; true when the directory exists afterwards.
bool MakeDirectories(std::string_view path);

bool RemoveFile(std::string_view path);
bool RemoveEmptyDirectory(std::string_view path);
// Removes a file or a whole directory tree; true when nothing is left.
bool RemoveTree(std::string_view path);

// Renames within one file system; with replace=false an existing target fails.
bool MoveFile(std::string_view from, std::string_view to, bool replace);
// Copies contents and permission bits; with fail_if_exists an existing target fails.
bool CopyFile(std::string_view from, std::string_view to, bool fail_if_exists);

bool IsReadOnly(std::string_view path);
bool SetReadOnly(std::string_view path, bool read_only);
bool SetExecutable(std::string_view path);

struct DirEntry {
  std::string name;
  bool is_directory = false;
};
// Entries of one directory without "." and ".."; nullopt when it cannot be read.
std::optional<std::vector<DirEntry>> ListDirectory(std::string_view path);

// Whole-file helpers. ReadWholeFile refuses files larger than max_bytes.
bool ReadWholeFile(std::string_view path, std::string& out,
                   std::uint64_t max_bytes = 256u << 20);
bool WriteWholeFile(std::string_view path, std::string_view data);

// Free bytes for the caller on the file system holding path.
std::optional<std::uint64_t> FreeSpace(std::string_view path);

// The system's temporary directory, ending without a separator.
std::string TempDirectory();
// Creates a fresh directory below TempDirectory(); empty on failure.
std::string MakeTempDirectory(std::string_view prefix);

std::string CurrentDirectory();

// Last OS error of this thread as a short English text (for logs and tests).
std::string LastErrorText();

// An open file with the sharing rules of the system's open modes. Sharing is
// enforced between File objects of any process through OFD locks.
enum class Access { Read, Write, ReadWrite };
enum class Share { None, Read, ReadWrite };  // what others may still do
enum class Disposition {
  OpenExisting,      // fail when missing
  CreateAlways,      // create or truncate
  OpenAlways,        // open or create
  CreateNew,         // fail when it exists
  TruncateExisting,  // fail when missing
};
enum class OpenError { None, NotFound, Exists, SharingViolation, Denied, Other };

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  bool Open(std::string_view path, Access access, Disposition disposition,
            Share share = Share::ReadWrite);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  OpenError last_open_error() const { return open_error_; }

  // Returns the number of bytes, or -1 on error. Read returns 0 at the end.
  std::int64_t Read(void* buffer, std::size_t size);
  std::int64_t Write(const void* buffer, std::size_t size);
  // Writes everything or fails.
  bool WriteAll(std::string_view data);
  bool ReadExact(void* buffer, std::size_t size);

  bool Seek(std::int64_t offset);  // from the start
  std::optional<std::int64_t> Tell() const;
  std::optional<std::int64_t> Size() const;
  bool SetLength(std::int64_t length);
  bool Flush();

 private:
  int fd_ = -1;
  OpenError open_error_ = OpenError::None;
};

}  // namespace platform::fs
