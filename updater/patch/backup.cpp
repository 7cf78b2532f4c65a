#include "updater/patch/backup.h"

#include <set>

#include "platform/clock.h"
#include "platform/fs.h"
#include "updater/config/update_context.h"
#include "updater/log/log.h"
#include "updater/patch/apply_package.h"
#include "updater/patch/bz_update_helper.h"
#include "updater/patch/package_format.h"
#include "updater/patch/verify_table.h"

namespace kestra::patch {

namespace {

bool HasFiles(const std::string& directory) {
  const auto entries = platform::fs::ListDirectory(directory);
  if (!entries) return false;
  for (const auto& entry : *entries) {
    const std::string path = directory + "/" + entry.name;
    if (!entry.is_directory || HasFiles(path)) return true;
  }
  return false;
}

// Each name once, in first-seen order: a second copy of a name could never
// be moved back and would block every later restore.
std::vector<std::string> Unique(const std::vector<std::string>& names) {
  std::set<std::string> seen;
  std::vector<std::string> out;
  for (const std::string& name : names)
    if (seen.insert(platform::fs::NativePath(name)).second) out.push_back(name);
  return out;
}

}  // namespace

bool ListPackageFiles(std::uint32_t package_version, int micro_number,
                      std::string_view download_directory, std::vector<std::string>& names) {
  names.clear();
  const std::string file_name = PackageFileName(package_version, micro_number);
  BzUpdateHelper reader;
  if (!reader.Open(package_version, file_name,
                   std::string(download_directory) + "/" + file_name))
    return false;
  for (;;) {
    const std::uint8_t* record = reader.ReadSection();
    if (record == nullptr) return reader.end_flag();
    const SectionView section = ViewSection(record);
    const std::string lowered = LowerAscii(section.name);
    if (lowered == kDeleteListName || lowered == kMoveListName) continue;
    names.emplace_back(section.name);
  }
}

bool RemoveTree(std::string_view directory) {
  const std::string dir(directory);
  if (const auto entries = platform::fs::ListDirectory(dir)) {
    for (const auto& entry : *entries) {
      const std::string path = dir + "\\" + entry.name;
      if (entry.is_directory)
        RemoveTree(path);
      else
        platform::fs::RemoveFile(path);
    }
  }
  platform::fs::RemoveEmptyDirectory(dir);
  return !platform::fs::Exists(dir);
}

BackupManager::BackupManager(std::string install_root, std::string download_directory)
    : install_root_(std::move(install_root)),
      download_directory_(std::move(download_directory)),
      wait_([](std::uint32_t ms) { platform::clock::SleepMs(ms); }),
      move_([](std::string_view from, std::string_view to) {
        return platform::fs::MoveFile(from, to, false);
      }) {}

std::string BackupManager::backup_directory() const { return install_root_ + "\\" + "data"; }
std::string BackupManager::swap_directory() const { return install_root_ + "\\temp"; }
std::string BackupManager::table_path() const {
  return backup_directory() + "\\" + std::string(kVerifyTableName);
}

bool BackupManager::BackupForMicroPatch(std::uint32_t package_version, int micro_number) {
  if (micro_number == 0) {
    LogError("子版本不匹配");
    return false;
  }
  std::vector<std::string> names;
  if (!ListPackageFiles(package_version, micro_number, download_directory_, names)) {
    LogError("获取备份文件列表失败");
    return false;
  }
  RemoveTree(backup_directory());
  platform::fs::MakeDirectory(backup_directory());
  return CreateBackup(names);
}

bool BackupManager::CreateBackup(const std::vector<std::string>& names) {
  const std::string backup = backup_directory();
  VerifyTable table(table_path(), backup, VerifyTable::Mode::Write);
  for (const std::string& name : Unique(names)) {
    if (!IsSafeRelativeName(name)) {
      LogError("备份文件名不合法，已跳过：%s", name.c_str());
      continue;
    }
    const std::string source = install_root_ + "\\" + name;
    if (!platform::fs::Exists(source)) continue;  // added by the package: nothing to save
    MakeDirsAlong(backup, name);
    if (!platform::fs::CopyFile(source, backup + "\\" + name, false)) {
      table.Discard();
      RemoveTree(backup);
      LogError("备份文件失败");
      return false;
    }
    if (!table.AddFile(name)) {
      table.Discard();
      RemoveTree(backup);
      LogError("生成备份验证表失败");
      return false;
    }
  }
  if (!table.Write()) {
    RemoveTree(backup);
    LogError("生成备份验证表失败");
    return false;
  }
  return true;
}

bool BackupManager::MoveAll(std::string_view from, std::string_view to,
                            const std::vector<std::string>& names, bool roll_back,
                            std::vector<std::string>* stranded) {
  const std::string source_root(from);
  const std::string target_root(to);
  std::vector<std::string> moved;
  bool all = true;
  for (const std::string& name : names) {
    MakeDirsAlong(target_root, name);
    if (move_(source_root + "\\" + name, target_root + "\\" + name)) {
      moved.push_back(name);
      continue;
    }
    all = false;
    if (roll_back) {
      if (stranded != nullptr) stranded->push_back(name);
      MoveAll(to, from, moved, false, stranded);
      return false;
    }
    if (stranded != nullptr) stranded->push_back(name);
  }
  return all;
}

bool BackupManager::CheckWriteAccess(const std::vector<std::string>& names) {
  int failures = 0;
  for (const std::string& name : names) {
    const std::string path = install_root_ + "\\" + name;
    for (;;) {
      platform::fs::File file;
      if (file.Open(path, platform::fs::Access::ReadWrite,
                    platform::fs::Disposition::OpenExisting, platform::fs::Share::None))
        break;
      if (++failures > kRestoreOpenAttempts) {
        LogError("%s无法获取写权限", name.c_str());
        return false;
      }
      wait_(kRestoreRetryWaitMs);
    }
  }
  return true;
}

void BackupManager::RecoverSwap(const std::vector<std::string>& names) {
  const std::string swap = swap_directory();
  if (!platform::fs::IsDirectory(swap)) return;
  for (const std::string& name : names) {
    const std::string kept = swap + "\\" + name;
    const std::string installed = install_root_ + "\\" + name;
    if (!platform::fs::IsRegularFile(kept) || platform::fs::Exists(installed)) continue;
    MakeDirsAlong(install_root_, name);
    if (move_(kept, installed))
      LogInfo("%s 已从 %s 移回", name.c_str(), swap.c_str());
  }
  if (!HasFiles(swap)) RemoveTree(swap);
}

void BackupManager::ReleaseSwap(const std::vector<std::string>& stranded) {
  const std::string swap = swap_directory();
  if (!HasFiles(swap)) {
    RemoveTree(swap);
    return;
  }
  // Files that could not go back stay where they are, not lost.
  for (const std::string& name : stranded) {
    if (platform::fs::Exists(swap + "\\" + name))
      LogError("%s 未能移回，保留在 %s", name.c_str(), swap.c_str());
  }
}

bool BackupManager::RestoreBackup() {
  const std::string backup = backup_directory();
  const VerifyTable table(table_path(), backup, VerifyTable::Mode::Read);
  if (!table.Verify()) {
    LogError("验证表不匹配");
    return false;
  }
  const std::vector<std::string> names = Unique(table.Names());
  RecoverSwap(names);
  if (!CheckWriteAccess(names)) return false;

  const std::string swap = swap_directory();
  platform::fs::MakeDirectory(swap);
  std::vector<std::string> stranded;
  if (!MoveAll(install_root_, swap, names, true, &stranded)) {
    ReleaseSwap(stranded);
    LogError("还原备份文件失败");
    return false;
  }
  if (MoveAll(backup, install_root_, names, true, &stranded)) {
    RemoveTree(swap);
    RemoveTree(backup);
    return true;
  }
  MoveAll(swap, install_root_, names, false, &stranded);
  ReleaseSwap(stranded);
  LogError("还原备份文件失败");
  return false;
}

bool BackupForMicroPatch(std::uint32_t package_version, int micro_number) {
  BackupManager manager(Context().install_root, Context().download_directory);
  return manager.BackupForMicroPatch(package_version, micro_number);
}

bool RestoreBackup() {
  BackupManager manager(Context().install_root, Context().download_directory);
  return manager.RestoreBackup();
}

}  // namespace kestra::patch
