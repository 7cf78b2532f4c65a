#include "updater/app/wiring.h"

#include <atomic>
#include <mutex>

#include "updater/app/app.h"
#include "updater/app/install.h"
#include "updater/app/packs.h"
#include "updater/app/session.h"
#include "updater/downloader_control/download_flow.h"

namespace kestra::app {
namespace {

// The dialog the download flow posts 2026 / 2029 to; set when its worker
// starts. The dialog object is never destroyed while a worker may run.
std::atomic<ui::Dialog*> g_main_dialog{nullptr};

}  // namespace

void WireUpdater(DialogServices& services) {
  SessionState& state = ProcessSessionState();
  SessionServices session = DefaultSessionServices();
  InstallServices install = DefaultInstallServices(state, session);

  dlctl::DownloadSession download;
  download.run_mode = [] { return TheApp().run_mode(); };
  download.with_remaining_downloads = [&state](const std::function<void(int&)>& fn) {
    std::lock_guard lock(state.lock());
    int remaining = static_cast<int>(state.remaining_downloads);
    fn(remaining);
    state.remaining_downloads = static_cast<std::uint32_t>(remaining < 0 ? 0 : remaining);
  };
  download.set_expansion_result = [&state](bool value) { state.expansion_result = value; };
  download.post_to_main_window = [](unsigned message) {
    ui::Dialog* dialog = g_main_dialog.load();
    if (dialog == nullptr) return false;
    dialog->Post(message, 0, 0);
    return true;
  };
  dlctl::SetDownloadSession(std::move(download));

  if (!services.start_worker) {
    services.start_worker = [&state, session](CkestraDlg& dialog, int run_mode) {
      g_main_dialog.store(&dialog);
      MainWorkerDone().Reset();
      const int type_code = TheApp().type_code();
      return std::thread([&state, &dialog, session, run_mode, type_code] {
        if (run_mode == 1 || run_mode == 2) {
          RunPackFlow(dialog, state, session, type_code, run_mode);
        } else {
          RunUpdateSession(dialog, state, session);
        }
        MainWorkerDone().Set();
      });
    };
  }
  if (!services.set_cancel_flag) {
    services.set_cancel_flag = [&state] {
      std::lock_guard lock(state.lock());
      state.cancel = true;
    };
  }
  if (!services.install_packages) {
    services.install_packages = [&state, install](CkestraDlg& dialog) {
      InstallPackages(dialog, state, install);
    };
  }
  if (!services.install_pack) {
    services.install_pack = [&state, install](CkestraDlg& dialog) {
      InstallPack(dialog, state, install, RunInstallerProgram);
    };
  }
  if (!services.countdown_tick) {
    services.countdown_tick = [install](CkestraDlg& dialog) { CountdownTick(dialog, install); };
  }
}

}  // namespace kestra::app
