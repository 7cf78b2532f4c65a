// Installation and completion, on the dialog's thread: the 2026 step that
// applies the downloaded packages, and the completion shared with the pack
// runs (countdown with the sharing worker, "更新成功!", the game client).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "updater/app/patch_list.h"
#include "updater/app/session.h"

namespace kestra::ui {
class Dialog;
}

namespace kestra::app {

class CkestraDlg;

inline constexpr int kCountdownThresholdS = 60;
inline constexpr int kCountdownPeriodMs = 1000;
inline constexpr int kWorkerEndWaitMs = 10000;
inline constexpr int kBackupErrorNumber = 21;

// Raised by the dialog's worker when it returns, so that completion can wait
// for it with a time limit before the sharing worker takes its place.
class WorkerDone {
 public:
  void Reset();
  void Set();
  // True when Set was called (now or within ms).
  bool WaitFor(int ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};
WorkerDone& MainWorkerDone();

struct InstallServices {
  std::function<int()> read_sub_version;
  std::function<bool()> restore_backup;
  std::function<bool(const PatchEntry& micro_patch)> backup_for_micro_patch;
  // Applies download directory + "/" + name; shows its own messages.
  std::function<bool(ui::Dialog&, std::string_view name, std::uint32_t version)> apply_package;
  // [Setting] Version of update.ini, read now.
  std::function<std::uint32_t()> read_update_version;
  std::function<bool(std::uint32_t version, std::string_view file)> write_resource_version;
  std::function<void(int number, std::string_view text)> show_update_error;
  std::function<void(ui::Dialog&)> offer_repair;
  // Install root + client program, from the install root, not waited for.
  std::function<void()> start_client;
  // Completion's pick among the patches in sharing mode 2.
  std::function<unsigned()> random;
  // True when the earlier worker ended within ms.
  std::function<bool(int ms)> wait_worker_end;
  // Starts the sharing worker for the dialog.
  std::function<std::thread(CkestraDlg&)> start_sharing_worker;
  int countdown_period_ms = kCountdownPeriodMs;
};

// The platform, the patch engine, the backup and the process's worker flag;
// the sharing worker with the session services given.
InstallServices DefaultInstallServices(SessionState& state, SessionServices session_services);

// Starts install root + client program with the install root as its current
// directory and no arguments; false when it could not be started.
bool StartClientProgram();

// 2026, after the dialog switched to installing.
void InstallPackages(CkestraDlg& dialog, SessionState& state, const InstallServices& services);
// Completion of an update or a pack.
void Complete(CkestraDlg& dialog, SessionState& state, const InstallServices& services);
// Timer 1: one second of the countdown.
void CountdownTick(CkestraDlg& dialog, const InstallServices& services);
// The sharing worker: the picked package offered through the downloader core
// until the dialog closes.
void RunSharingWorker(ui::Dialog& dialog, SessionState& state, const SessionServices& services);

// Which entry completion shares: sharing mode 1 the first, mode 2 a random
// one of all but the last; -1 for none.
int SharingPick(int sharing_mode, std::size_t entries, unsigned random);

}  // namespace kestra::app
