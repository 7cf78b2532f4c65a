// Keeps a package from leaving the installation half changed: before the
// package is applied, every installed file it may write, delete or move is
// copied aside; when the application fails they are put back (and the files
// the package created are removed), so that the installation is as it was
// before that package. Packages applied before it stay applied.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::app {

// Folder under the download directory that holds the copies.
inline constexpr char kGuardFolder[] = "rollback";

class PackageGuard {
 public:
  PackageGuard(std::string install_root, std::string download_directory);

  // The names a package touches: its file sections, its delete list, both
  // ends of its moves. Reads as far as the package can be read; names that
  // could leave the install root are left out.
  static std::vector<std::string> TouchedNames(std::uint32_t version, std::string_view file_name,
                                               std::string_view download_directory);

  // Copies the installed files among names aside; false (and nothing kept)
  // when a copy could not be made.
  bool Save(const std::vector<std::string>& names);
  // Puts every saved file back and removes the ones that did not exist;
  // false when one could not be restored (the copies then stay in place).
  bool Restore();
  // Drops the copies.
  void Discard();

  std::string folder() const;

 private:
  struct Saved {
    std::string name;
    bool existed = false;  // a file, copied aside
    bool present = false;  // anything at all stood there
  };
  std::string install_root_;
  std::string download_directory_;
  std::vector<Saved> saved_;
};

}  // namespace kestra::app
