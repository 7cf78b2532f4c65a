// Application of one downloaded patch package to the installation: which
// sections this installation needs, writing them, then the delete and move
// lists. Runs on the dialog's thread; the window stays alive through the
// message pump of PatchUi.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "updater/patch/package_format.h"
#include "updater/patch/patch_ui.h"

namespace kestra::patch {

// Wait between two attempts to open a target file after the user chose Retry.
inline constexpr std::uint32_t kOpenRetryWaitMs = 5000;
// Error number of the updater's error table for a file that cannot be added.
inline constexpr int kAddFileErrorNumber = 23;

// The installation's state as start-up read it (fixed for the whole run).
struct InstallState {
  std::uint32_t update_version = 0;
  std::uint32_t base_resource_version = 0;
  std::uint32_t hd_resource_version = 0;
  int sub_version = 0;
  int micro_argument = -1;
  std::uint32_t resource_set_flags = 0;  // bit 0 base set, bit 1 hd set present
  int micro_flag = 0;
};
InstallState InstallStateFromContext();

// Bit e for resource set e (0 base, 1 hd) whose files this package updates.
std::uint32_t ResourceSetUpdateMask(const InstallState& state, std::uint32_t package_version);

// Whether a file section of a package with this version is written here.
bool IsSectionNeeded(const InstallState& state, std::uint32_t update_mask,
                     std::uint32_t package_version, std::string_view name);

// Creates root + "\\" + (relative up to each separator that is not the first
// character and does not follow another separator); failures are ignored.
void MakeDirsAlong(std::string_view root, std::string_view relative);

// Writes the patch records of a MODI section into the open file (nothing
// beyond target_length, which the caller sets afterwards). All records are
// checked first: false, with nothing written, when one runs past the data.
// With fixup the resource-archive fix-up runs around the edit.
bool ApplyPatchRecords(platform::fs::File& file, const std::uint8_t* data,
                       std::uint32_t data_length, std::uint32_t target_length, bool fixup);
// True when the records fill exactly data_length bytes.
bool PatchRecordsWellFormed(const std::uint8_t* data, std::uint32_t data_length);

class PackageApplier {
 public:
  PackageApplier(PatchUi& ui, InstallState state);

  // Package path: download_directory + "/" + file_name; file_name is also the
  // display name of the messages. True when every section was read, every
  // needed one written, the delete list carried out and every move done.
  bool ApplyPackage(std::string_view file_name, std::uint32_t package_version,
                    std::string_view download_directory, std::string_view install_root);

  // Writes one ADDF or MODI section under install_root (which ends in "/").
  bool ApplySection(std::string_view display_name, std::string_view install_root,
                    const SectionView& section);

  // Deletes install_root + "/" + name for each entry; failures are logged.
  void DeleteListed(std::string_view install_root, const std::vector<std::string>& list);
  // Moves each A into B under its own name; false at the first failure.
  bool MoveListed(std::string_view install_root, const std::vector<MoveItem>& list);

  void set_retry_wait_ms(std::uint32_t ms) { retry_wait_ms_ = ms; }

 private:
  // Opens the target, asking Retry/Cancel while it fails; false on Cancel.
  bool OpenTarget(platform::fs::File& file, const std::string& target, bool modify);

  PatchUi& ui_;
  InstallState state_;
  std::uint32_t retry_wait_ms_ = kOpenRetryWaitMs;
};

// The updater's call: the installation state from UpdateContext.
bool ApplyPackage(std::string_view file_name, std::uint32_t package_version,
                  std::string_view download_directory, std::string_view install_root,
                  PatchUi& ui);

}  // namespace kestra::patch
