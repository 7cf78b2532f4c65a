// Backup of the files a micro patch overwrites or modifies, with a
// verification table, and the restore that puts them back.
//
// Places: backup directory install root + "\\data" (table "checkinfo.lst"
// inside), swap directory install root + "\\temp"; inside both every file
// keeps its relative path from the install root.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::patch {

// The write-access check of a restore gives up after this many failed opens
// in total, waiting kRestoreRetryWaitMs after each.
inline constexpr int kRestoreOpenAttempts = 10;
inline constexpr std::uint32_t kRestoreRetryWaitMs = 1000;

// Names of all file sections of the package (the two lists left out), in
// package order and spelled as there. False on any open or read failure.
bool ListPackageFiles(std::uint32_t package_version, int micro_number,
                      std::string_view download_directory, std::vector<std::string>& names);

// Removes the directory with everything in it; true when it is gone.
bool RemoveTree(std::string_view directory);

class BackupManager {
 public:
  using WaitFn = std::function<void(std::uint32_t ms)>;
  using MoveFn = std::function<bool(std::string_view from, std::string_view to)>;

  BackupManager(std::string install_root, std::string download_directory);

  // Tests make the waits and single moves their own.
  void set_wait(WaitFn wait) { wait_ = std::move(wait); }
  void set_move(MoveFn move) { move_ = std::move(move); }

  bool BackupForMicroPatch(std::uint32_t package_version, int micro_number);
  bool CreateBackup(const std::vector<std::string>& names);
  bool RestoreBackup();

  // Moves from + "\\" + name to to + "\\" + name for each name (never over an
  // existing file). On a failure with roll_back the names moved so far go
  // back. Without roll_back every name is tried. Names that could not be
  // moved (or moved back) are added to stranded when given.
  bool MoveAll(std::string_view from, std::string_view to, const std::vector<std::string>& names,
               bool roll_back, std::vector<std::string>* stranded = nullptr);

  std::string backup_directory() const;
  std::string swap_directory() const;
  std::string table_path() const;

 private:
  // Opens every installed file for exclusive read/write within the budget.
  bool CheckWriteAccess(const std::vector<std::string>& names);
  // Files left in the swap directory by an earlier failed restore go back to
  // the installation where it lacks them.
  void RecoverSwap(const std::vector<std::string>& names);
  // Removes the swap directory when no file is left in it; else logs what
  // stays there.
  void ReleaseSwap(const std::vector<std::string>& stranded);

  std::string install_root_;
  std::string download_directory_;
  WaitFn wait_;
  MoveFn move_;
};

// The updater's calls, with the install root and download directory of
// UpdateContext.
bool BackupForMicroPatch(std::uint32_t package_version, int micro_number);
bool RestoreBackup();

}  // namespace kestra::patch
