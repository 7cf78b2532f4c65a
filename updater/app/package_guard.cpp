#include "updater/app/package_guard.h"

#include <set>

#include "platform/fs.h"
#include "updater/log/log.h"
#include "updater/patch/apply_package.h"
#include "updater/patch/backup.h"
#include "updater/patch/bz_update_helper.h"
#include "updater/patch/package_format.h"

namespace kestra::app {

PackageGuard::PackageGuard(std::string install_root, std::string download_directory)
    : install_root_(std::move(install_root)), download_directory_(std::move(download_directory)) {}

std::string PackageGuard::folder() const { return download_directory_ + "/" + kGuardFolder; }

std::vector<std::string> PackageGuard::TouchedNames(std::uint32_t version, std::string_view file_name,
                                                    std::string_view download_directory) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  auto add = [&](const std::string& name) {
    if (!patch::IsSafeRelativeName(name)) return;
    std::string normal = patch::NormalizeRelative(name);
    if (seen.insert(normal).second) names.push_back(normal);
  };
  patch::BzUpdateHelper reader;
  if (!reader.Open(version, file_name, std::string(download_directory) + "/" + std::string(file_name)))
    return names;
  while (const std::uint8_t* record = reader.ReadSection()) {
    const patch::SectionView section = patch::ViewSection(record);
    const std::string lowered = patch::LowerAscii(section.name);
    const std::string_view data(reinterpret_cast<const char*>(section.data), section.data_length);
    if (lowered == patch::kDeleteListName) {
      for (const std::string& name : patch::ParseDeleteList(data)) add(name);
    } else if (lowered == patch::kMoveListName) {
      for (const patch::MoveItem& item : patch::ParseMoveList(data)) {
        add(item.source);
        add(item.destination + "\\" + item.source);
      }
    } else {
      add(std::string(section.name));
    }
  }
  return names;
}

bool PackageGuard::Save(const std::vector<std::string>& names) {
  Discard();
  platform::fs::MakeDirectories(folder());
  for (const std::string& name : names) {
    const std::string installed = install_root_ + name;
    Saved entry{name, platform::fs::IsRegularFile(installed), platform::fs::Exists(installed)};
    if (entry.existed) {
      patch::MakeDirsAlong(folder(), name);
      if (!platform::fs::CopyFile(installed, folder() + "/" + name, false)) {
        LogError("无法保存 %s, 更新包失败时不能还原", name.c_str());
        Discard();
        return false;
      }
    }
    saved_.push_back(std::move(entry));
  }
  return true;
}

bool PackageGuard::Restore() {
  bool all = true;
  for (const Saved& entry : saved_) {
    const std::string installed = install_root_ + entry.name;
    if (entry.existed) {
      patch::MakeDirsAlong(install_root_, entry.name);
      if (!platform::fs::CopyFile(folder() + "/" + entry.name, installed, false)) {
        LogError("还原 %s 失败", entry.name.c_str());
        all = false;
      }
    } else if (!entry.present && platform::fs::Exists(installed) &&
               !platform::fs::RemoveFile(installed)) {
      LogError("删除 %s 失败", entry.name.c_str());
      all = false;
    }
  }
  if (all) Discard();
  return all;
}

void PackageGuard::Discard() {
  saved_.clear();
  patch::RemoveTree(folder());
}

}  // namespace kestra::app
