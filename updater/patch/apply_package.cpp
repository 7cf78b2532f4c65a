#include "updater/patch/apply_package.h"

#include <algorithm>
#include <cstdio>

#include "platform/last_error.h"
#include "updater/config/update_context.h"
#include "updater/log/log.h"
#include "updater/patch/archive_fixup.h"
#include "updater/patch/bz_update_helper.h"
#include "updater/patch/edition_resource.h"

namespace kestra::patch {

namespace {

constexpr std::string_view kIllegalSection = "含有不合法的数据节!";
constexpr std::string_view kUpdateFailed = "更新中发生错误!";
constexpr std::string_view kErrorCaption = "错误";

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Format(const char* format, std::string_view a) {
  char buffer[2048];
  std::snprintf(buffer, sizeof buffer, format, std::string(a).c_str());
  return buffer;
}

}  // namespace

InstallState InstallStateFromContext() {
  const UpdateContext& context = Context();
  InstallState state;
  state.update_version = context.update_version;
  state.base_resource_version = context.base_resource_version;
  state.hd_resource_version = context.hd_resource_version;
  state.sub_version = context.sub_version;
  state.micro_argument = context.micro_argument;
  state.resource_set_flags = context.resource_set_flags;
  state.micro_flag = context.micro_flag;
  return state;
}

std::uint32_t ResourceSetUpdateMask(const InstallState& state, std::uint32_t package_version) {
  const int micro = state.micro_argument;
  const int sub = state.sub_version;
  const bool micro_state_differs =
      (micro > 0 && sub == 0) || (sub != micro && sub != 0 && micro != 0);
  std::uint32_t mask = 0;
  const std::uint32_t versions[2] = {state.base_resource_version, state.hd_resource_version};
  for (int set = 0; set < 2; ++set) {
    const std::uint32_t version = versions[set];
    if ((version != 0 && version < package_version) ||
        (version == package_version && micro_state_differs))
      mask |= 1u << set;
  }
  return mask;
}

bool IsSectionNeeded(const InstallState& state, std::uint32_t update_mask,
                     std::uint32_t package_version, std::string_view name) {
  if (IsEditionResource(name, false)) {
    const std::uint32_t bit = 1u << ResourceSetOf(name);
    return (update_mask & bit) != 0 && (state.resource_set_flags & bit) != 0;
  }
  if (package_version < state.update_version) return false;
  if (package_version > state.update_version) return true;
  if (state.micro_argument != 0) return true;
  return !IsEditionResource(name, true);
}

void MakeDirsAlong(std::string_view root, std::string_view relative) {
  for (std::size_t i = 1; i < relative.size(); ++i) {
    if (IsSeparator(relative[i]) && !IsSeparator(relative[i - 1]))
      platform::fs::MakeDirectory(std::string(root) + "\\" + std::string(relative.substr(0, i)));
  }
}

bool PatchRecordsWellFormed(const std::uint8_t* data, std::uint32_t data_length) {
  std::uint64_t offset = 0;
  while (offset < data_length) {
    if (offset + kPatchRecordHeaderSize > data_length) return false;
    const std::uint64_t length = ReadLe32(data + offset + 4);
    offset += kPatchRecordHeaderSize + length;
    if (offset > data_length) return false;
  }
  return true;
}

bool ApplyPatchRecords(platform::fs::File& file, const std::uint8_t* data,
                       std::uint32_t data_length, std::uint32_t target_length, bool fixup) {
  if (!PatchRecordsWellFormed(data, data_length)) return false;
  ArchiveFixup archive;
  if (fixup) archive.Before(file);
  bool ok = true;
  std::uint64_t position = 0;
  std::uint64_t offset = 0;
  while (ok && offset < data_length) {
    const std::uint64_t skip = ReadLe32(data + offset);
    const std::uint64_t length = ReadLe32(data + offset + 4);
    const std::uint8_t* bytes = data + offset + kPatchRecordHeaderSize;
    position += skip;
    // Bytes at or beyond the target length would be cut off afterwards.
    if (position < target_length) {
      const std::uint64_t kept = std::min<std::uint64_t>(length, target_length - position);
      ok = file.Seek(static_cast<std::int64_t>(position)) &&
           file.WriteAll(std::string_view(reinterpret_cast<const char*>(bytes), kept));
    }
    position += length;
    offset += kPatchRecordHeaderSize + length;
  }
  if (ok && fixup) ok = archive.After(file);
  return ok;
}

PackageApplier::PackageApplier(PatchUi& ui, InstallState state) : ui_(ui), state_(state) {}

bool PackageApplier::OpenTarget(platform::fs::File& file, const std::string& target,
                                bool modify) {
  const char* text = modify
      ? "打开要更新的文件[%s]失败!\n请确认更新时游戏不在运行。\n也有可能后台有病毒扫描程序正在工作，可以稍等片刻再重试。\n"
      : "增添文件[%s]失败!\n请确认更新时游戏不在运行。\n也有可能后台有病毒扫描程序正在工作，可以稍等片刻再重试。\n";
  for (;;) {
    const bool opened =
        modify ? file.Open(target, platform::fs::Access::ReadWrite,
                           platform::fs::Disposition::OpenExisting, platform::fs::Share::Read)
               : file.Open(target, platform::fs::Access::Write,
                           platform::fs::Disposition::CreateAlways, platform::fs::Share::Read);
    if (opened) return true;
    const ui::Answer answer = ui_.Ask(Format(text, target), kErrorCaption,
                                      ui::Buttons::RetryCancel, ui::Icon::None);
    if (answer != ui::Answer::Retry) return false;
    ui_.Wait(retry_wait_ms_);
  }
}

bool PackageApplier::ApplySection(std::string_view display_name, std::string_view install_root,
                                  const SectionView& section) {
  const bool modify = section.kind == kKindModi;
  const bool legal =
      (modify || section.kind == kKindAddf) && IsSafeRelativeName(section.name) &&
      (!modify || PatchRecordsWellFormed(section.data, section.data_length));
  if (!legal) {
    LogError("%s: 数据节 %s 不合法", std::string(display_name).c_str(),
             std::string(section.name).c_str());
    ui_.Ask(std::string(display_name) + std::string(kIllegalSection), {}, ui::Buttons::OK,
            ui::Icon::Error);
    return false;
  }

  const std::string target = std::string(install_root) + std::string(section.name);
  platform::fs::SetReadOnly(target, false);
  if (!modify) {
    for (std::size_t i = 1; i < section.name.size(); ++i)
      if (IsSeparator(section.name[i]))
        platform::fs::MakeDirectory(std::string(install_root) +
                                    std::string(section.name.substr(0, i)));
  }

  platform::fs::File file;
  if (!OpenTarget(file, target, modify)) {
    if (!modify) ui_.ShowUpdateError(kAddFileErrorNumber, Format("打开文件%s失败", target));
    return false;
  }

  bool written;
  if (modify) {
    written = ApplyPatchRecords(file, section.data, section.data_length, section.target_length,
                                state_.micro_flag != 0) &&
              file.SetLength(section.target_length);
  } else {
    written = file.WriteAll(std::string_view(reinterpret_cast<const char*>(section.data),
                                             section.data_length)) &&
              file.SetLength(section.data_length);
  }
  file.Close();
  if (!written) {
    LogError("写入文件 %s 失败，错误代码为%d", target.c_str(), platform::LastErrorCode());
    return false;
  }
  return true;
}

void PackageApplier::DeleteListed(std::string_view install_root,
                                  const std::vector<std::string>& list) {
  for (const std::string& name : list) {
    if (!IsSafeRelativeName(name)) {
      LogError("删除列表中的文件名不合法，已跳过：%s", name.c_str());
      continue;
    }
    ui_.SetStatusText(Format("正在删除 %s", name));
    ui_.PumpMessages();
    if (platform::fs::RemoveFile(std::string(install_root) + "/" + name))
      LogInfo("删除 %s 成功", name.c_str());
    else
      LogError("删除 %s 失败，错误代码为%d", name.c_str(), platform::LastErrorCode());
  }
}

bool PackageApplier::MoveListed(std::string_view install_root,
                                const std::vector<MoveItem>& list) {
  const std::string root(install_root);
  for (const MoveItem& item : list) {
    const std::string relative_destination = item.destination + "\\" + item.source;
    if (!IsSafeRelativeName(item.source) || !IsSafeRelativeName(relative_destination)) {
      LogError("移动列表中的文件名不合法，已跳过：%s >> %s", item.source.c_str(),
               item.destination.c_str());
      continue;
    }
    ui_.SetStatusText(Format("正在移动 %s", item.source));
    ui_.PumpMessages();
    const std::string source = root + "\\" + item.source;
    const std::string destination = root + "\\" + relative_destination;
    if (NormalizeRelative(item.source) == NormalizeRelative(relative_destination)) {
      // Already in place; a replacing move would remove the file itself.
      LogInfo("移动文件成功：%s >> %s", item.source.c_str(), item.destination.c_str());
      continue;
    }
    MakeDirsAlong(root, relative_destination);
    bool moved = platform::fs::MoveFile(source, destination, false);
    if (!moved && platform::fs::Exists(source) && platform::fs::IsRegularFile(destination)) {
      // The destination exists: it is replaced (in one step, so that neither
      // file is lost when the second move fails).
      moved = platform::fs::MoveFile(source, destination, true);
    }
    if (!moved) {
      LogError("移动文件失败：%s >> %s，错误代码为%d", item.source.c_str(),
               item.destination.c_str(), platform::LastErrorCode());
      return false;
    }
    LogInfo("移动文件成功：%s >> %s", item.source.c_str(), item.destination.c_str());
  }
  return true;
}

bool PackageApplier::ApplyPackage(std::string_view file_name, std::uint32_t package_version,
                                  std::string_view download_directory,
                                  std::string_view install_root) {
  const std::uint32_t mask = ResourceSetUpdateMask(state_, package_version);
  const std::string path = std::string(download_directory) + "/" + std::string(file_name);

  BzUpdateHelper reader;
  if (!reader.Open(package_version, file_name, path)) {
    ui_.Ask(reader.error_text(), {}, ui::Buttons::OK, ui::Icon::Error);
    return false;
  }
  ui_.PumpMessages();
  std::vector<std::string> delete_list;
  std::vector<MoveItem> move_list;

  for (;;) {
    ui_.PumpMessages();
    const std::uint8_t* record = reader.ReadSection();
    if (record == nullptr) {
      if (reader.end_flag()) break;
      ui_.Ask(reader.error_text(), {}, ui::Buttons::OK, ui::Icon::None);
      return false;
    }
    const SectionView section = ViewSection(record);
    const std::string lowered = LowerAscii(section.name);
    const std::string_view data(reinterpret_cast<const char*>(section.data), section.data_length);
    if (lowered == kDeleteListName) {
      delete_list.clear();
      if (section.kind == kKindAddf) delete_list = ParseDeleteList(data);
      continue;
    }
    if (lowered == kMoveListName) {
      move_list.clear();
      if (section.kind == kKindAddf) move_list = ParseMoveList(data);
      continue;
    }
    // A name that leaves the installation fails the package whether or not
    // this installation needs the section (ApplySection refuses it).
    const bool safe = IsSafeRelativeName(section.name);
    if (safe && !IsSectionNeeded(state_, mask, package_version, section.name)) continue;
    if (safe) {
      ui_.SetStatusText(Format("解压 %s", section.name));
      ui_.PumpMessages();
    }
    if (!ApplySection(file_name, install_root, section)) {
      ui_.Ask(kUpdateFailed, {}, ui::Buttons::OK, ui::Icon::None);
      return false;
    }
  }

  ui_.PumpMessages();
  if (!delete_list.empty()) DeleteListed(install_root, delete_list);
  if (!move_list.empty() && !MoveListed(install_root, move_list)) return false;
  return true;
}

bool ApplyPackage(std::string_view file_name, std::uint32_t package_version,
                  std::string_view download_directory, std::string_view install_root,
                  PatchUi& ui) {
  PackageApplier applier(ui, InstallStateFromContext());
  return applier.ApplyPackage(file_name, package_version, download_directory, install_root);
}

}  // namespace kestra::patch
