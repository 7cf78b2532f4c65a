// Test helpers: temporary directories and small file utilities.
#pragma once

#include <string>
#include <string_view>

namespace kestra::test {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes away (unless KESTRA_KEEP_TEMP is set).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(std::string_view relative) const;

  // Writes a file (creating its directories); relative to path().
  void Write(std::string_view relative, std::string_view content) const;
  // Reads a file relative to path(); empty when missing.
  std::string Read(std::string_view relative) const;
  bool Exists(std::string_view relative) const;

 private:
  std::string path_;
};

}  // namespace kestra::test
