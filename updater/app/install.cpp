#include "updater/app/install.h"

#include <chrono>
#include <cstdlib>

#include "platform/fs.h"
#include "platform/process.h"
#include "updater/app/dialog.h"
#include "updater/app/error_report.h"
#include "updater/app/package_guard.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"
#include "updater/log/log.h"
#include "updater/patch/apply_package.h"
#include "updater/patch/backup.h"
#include "updater/patch/patch_ui.h"

namespace kestra::app {
namespace {

constexpr char kErrorCaption[] = "错误";
constexpr char kRestoring[] = "正在恢复备份文件...";
constexpr char kRestoreQuestion[] = "恢复备份文件失败,请您先关闭正在运行的客户端，再重试。";
constexpr char kRestoreFailed[] = "恢复备份文件失败";
constexpr char kBackingUp[] = "正在备份文件...";
constexpr char kBackupQuestion[] = "创建备份文件失败,请您先关闭正在运行的客户端，再重试。";
constexpr char kBackupFailed[] = "创建备份文件失败";
constexpr char kClosing[] = "关闭中...";
constexpr char kInstallingLabel[] = "安装中";
constexpr char kSuccess[] = "更新成功!";
constexpr char kSuccessCaption[] = "恭喜";
constexpr char kUrlError[] = "url错误";

// Retry/Cancel until step succeeds; on Cancel the numbered error 21 and the
// end of the dialog's loop (no client start). False on Cancel.
bool RetryOrGiveUp(CkestraDlg& dialog, const InstallServices& services,
                   const std::function<bool()>& step, const char* question, const char* failed) {
  while (!step()) {
    if (dialog.MessageBox(question, kErrorCaption, ui::Buttons::RetryCancel, ui::Icon::None) ==
        ui::Answer::Retry)
      continue;
    services.show_update_error(kBackupErrorNumber, failed);
    dialog.EndDialog(0);
    return false;
  }
  return true;
}

// One package; on failure the repair offer and the close.
bool ApplyOne(CkestraDlg& dialog, const InstallServices& services, const PatchEntry& entry) {
  const std::string name = PackageFileName(entry.url);
  dialog.SetStatusText(kIdPackageName, name);
  if (!name.empty() && services.apply_package(dialog, name, entry.version)) return true;
  dialog.SetStatusText(kIdStatusLine, kClosing);
  services.offer_repair(dialog);
  dialog.Post(kMsgClose, 0, 0);
  return false;
}

void ShowSuccessAndStartClient(CkestraDlg& dialog, const InstallServices& services) {
  dialog.MessageBox(kSuccess, kSuccessCaption, ui::Buttons::OK, ui::Icon::Info);
  dialog.Post(kMsgClose, 1, 0);
  services.start_client();
}

}  // namespace

void WorkerDone::Reset() {
  std::lock_guard lock(mutex_);
  done_ = false;
}

void WorkerDone::Set() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
}

bool WorkerDone::WaitFor(int ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
}

WorkerDone& MainWorkerDone() {
  static WorkerDone* done = new WorkerDone;  // outlives abandoned workers
  return *done;
}

bool StartClientProgram() {
  const UpdateContext& context = Context();
  platform::process::StartOptions options;
  options.working_directory = platform::fs::NativePath(context.install_root);
  auto pid = platform::process::Start(
      {platform::fs::NativePath(context.install_root + context.client_program)}, options);
  if (!pid) {
    LogError("启动客户端失败: %s", (context.install_root + context.client_program).c_str());
    return false;
  }
  return true;
}

InstallServices DefaultInstallServices(SessionState& state, SessionServices session_services) {
  InstallServices s;
  s.read_sub_version = [] { return config::ReadSubVersion(); };
  s.restore_backup = [] { return patch::RestoreBackup(); };
  s.backup_for_micro_patch = [](const PatchEntry& micro) {
    return patch::BackupForMicroPatch(micro.version, micro.micro_number);
  };
  s.apply_package = [](ui::Dialog& dialog, std::string_view name, std::uint32_t version) {
    patch::DialogPatchUi ui(dialog, [](int number, std::string_view text) {
      ShowUpdateError(number, text);
    });
    const UpdateContext& context = Context();
    // Without the copies the package is still applied, as it always was.
    PackageGuard guard(context.install_root, context.download_directory);
    const bool saved =
        guard.Save(PackageGuard::TouchedNames(version, name, context.download_directory));
    const bool applied =
        patch::ApplyPackage(name, version, context.download_directory, context.install_root, ui);
    if (applied) {
      guard.Discard();
    } else if (saved && guard.Restore()) {
      LogInfo("%s 未能更新, 已还原该更新包改动的文件", std::string(name).c_str());
    }
    return applied;
  };
  s.read_update_version = [] { return config::ReadVersion(""); };
  s.write_resource_version = [](std::uint32_t version, std::string_view file) {
    return config::WriteResourceVersion(version, file);
  };
  s.show_update_error = [](int number, std::string_view text) { ShowUpdateError(number, text); };
  s.offer_repair = [](ui::Dialog& dialog) { OfferRepair(dialog); };
  s.start_client = [] { StartClientProgram(); };
  s.random = [] { return static_cast<unsigned>(std::rand()); };
  s.wait_worker_end = [](int ms) { return MainWorkerDone().WaitFor(ms); };
  s.start_sharing_worker = [&state, session_services](CkestraDlg& dialog) {
    MainWorkerDone().Reset();
    return std::thread([&state, &dialog, session_services] {
      RunSharingWorker(dialog, state, session_services);
      MainWorkerDone().Set();
    });
  };
  return s;
}

int SharingPick(int sharing_mode, std::size_t entries, unsigned random) {
  if (entries == 0) return -1;
  if (sharing_mode == 1) return 0;
  if (sharing_mode == 2) {
    std::size_t r = random % entries;
    return r < entries - 1 ? static_cast<int>(r) : -1;
  }
  return -1;
}

void InstallPackages(CkestraDlg& dialog, SessionState& state, const InstallServices& services) {
  const UpdateContext& context = Context();

  const int sub_version = services.read_sub_version();
  if (sub_version != 0 && sub_version != -1) {
    dialog.SetStatusText(kIdStatusLine, kRestoring);
    dialog.PumpMessages();
    if (!RetryOrGiveUp(dialog, services, services.restore_backup, kRestoreQuestion,
                       kRestoreFailed))
      return;
  }

  // The patch list is complete: the session wrote it before its downloads.
  const std::vector<PatchEntry>& entries = state.patch_list;
  const std::size_t n = entries.size();
  const PatchEntry* micro_patch = nullptr;
  std::size_t applied = 0;
  for (const PatchEntry& entry : entries) {
    if (entry.micro_number > 0) {
      micro_patch = &entry;
      break;
    }
    if (!ApplyOne(dialog, services, entry)) return;
    ++applied;
    dialog.SetProgress(kIdInstallBar, static_cast<int>(100 * applied / n));
  }

  // The packages may have replaced update.ini.
  const std::uint32_t version = services.read_update_version();
  if ((context.resource_set_flags & 1u) && context.base_resource_version < version)
    services.write_resource_version(version, "res.ini");
  if ((context.resource_set_flags & 2u) && context.hd_resource_version < version)
    services.write_resource_version(version, "hdres/res.ini");

  const int micro = context.micro_argument;
  if (micro != 0 && micro != -1 && micro_patch != nullptr) {
    dialog.SetStatusText(kIdStatusLine, kBackingUp);
    dialog.PumpMessages();
    const PatchEntry& patch = *micro_patch;
    if (!RetryOrGiveUp(dialog, services, [&] { return services.backup_for_micro_patch(patch); },
                       kBackupQuestion, kBackupFailed))
      return;
    if (!ApplyOne(dialog, services, patch)) return;
    dialog.SetProgress(kIdInstallBar, static_cast<int>(100 * (applied + 1) / n));
  }

  Complete(dialog, state, services);
}

void Complete(CkestraDlg& dialog, SessionState& state, const InstallServices& services) {
  dialog.set_finishing(true);
  dialog.SetStatusText(kIdProgressLabel, kInstallingLabel);
  dialog.SetProgress(kIdInstallBar, 0);
  dialog.SetStatusText(kIdStatusLine, "");

  if (dialog.countdown_total() < kCountdownThresholdS) {
    ShowSuccessAndStartClient(dialog, services);
    return;
  }

  const int pick = SharingPick(state.sharing_mode, state.patch_list.size(), services.random());
  if (pick >= 0) {
    state.sharing_url = state.patch_list[static_cast<std::size_t>(pick)].url;
    // The session takes the session lock once more after its last download,
    // so it is waited for without the lock held.
    std::thread& worker = dialog.worker_thread();
    bool free = true;
    if (worker.joinable()) {
      free = services.wait_worker_end(kWorkerEndWaitMs);
      // The session has returned: its thread ends at once.
      if (free) worker.join();
    }
    if (free) {
      std::lock_guard lock(state.lock());
      worker = services.start_sharing_worker(dialog);
    }
  }
  dialog.SetTimer(kCountdownTimer, services.countdown_period_ms);
}

void CountdownTick(CkestraDlg& dialog, const InstallServices& services) {
  const int remaining = dialog.countdown_remaining() - 1;
  dialog.set_countdown_remaining(remaining);
  const int total = dialog.countdown_total();
  if (remaining > 0) {
    dialog.SetProgress(kIdInstallBar, (total - remaining) * 100 / total);
    return;
  }
  dialog.KillTimer(kCountdownTimer);
  dialog.SetProgress(kIdInstallBar, 100);
  ShowSuccessAndStartClient(dialog, services);
}

void RunSharingWorker(ui::Dialog& dialog, SessionState& state, const SessionServices& services) {
  if (state.sharing_url.empty()) return;
  {
    std::lock_guard lock(state.lock());
    state.cancel = false;
  }
  const UpdateContext& context = Context();
  services.make_directory(context.download_directory);
  const std::string name = PackageFileName(state.sharing_url);
  if (name.empty()) {
    dialog.MessageBox(kUrlError, patch::kDefaultCaption, ui::Buttons::OK, ui::Icon::None);
    dialog.Post(kMsgClose, 0, 0);
    return;
  }
  services.download(dialog, state.sharing_url + ".data", context.download_directory + "/" + name);
}

}  // namespace kestra::app
