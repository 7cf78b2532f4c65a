// The update of an installation, from start-up to the game client.
//
//   1. Start-up (app.h) turns the command line into UpdateContext and runs the
//      main dialog (dialog.h) modally.
//   2. The dialog's set-up starts one worker: RunUpdateSession below for a
//      patch update, RunPackFlow (packs.h) for an expansion or resource pack.
//   3. RunUpdateSession: waits until no program of the installation runs,
//      works out the installed version, fetches the patch list (UpdateURL,
//      then UpdateURL2..4), selects the newer patches (patch_list.h), adds the
//      micro patch the launcher asked for, and downloads the packages one
//      after another with DownloadWithDownloader into the download directory.
//   4. The download flow posts 2026 when the last package has arrived; the
//      dialog's thread runs InstallPackages (install.h): undo an applied micro
//      patch, apply the packages in order (each one guarded by copies of the
//      files it touches, package_guard.h), bring res.ini / hdres/res.ini up,
//      back up and apply the micro patch.
//   5. Complete (install.h): a countdown on the lower bar while one package is
//      shared through the downloader core, "更新成功!", the close (1126) and
//      the start of the game client ("vd.exe" in the install root).
//      A pack run joins here after its installer succeeded (2029).
//
// Every failure tells the player (a box or the numbered error message),
// logs, and closes the dialog with 1126; the client is started only after
// success. A failed package is undone; the packages before it stay applied,
// and the next run starts from the Version they left in update.ini.
//
// Threads: the worker talks to the dialog only by posted messages and boxes;
// SessionState is shared under its lock, which is never held across a
// network wait or a download.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "updater/app/patch_list.h"

namespace kestra::ui {
class Dialog;
}

namespace kestra::app {

// What the session, the dialog, installation and the download flow share.
// cancel and remaining_downloads only under lock(); the others are written
// before the thread that reads them needs them.
struct SessionState {
  std::recursive_mutex& lock() { return lock_; }

  bool cancel = false;
  std::vector<PatchEntry> patch_list;
  std::uint32_t remaining_downloads = 0;
  int sharing_mode = 0;
  std::string sharing_url;
  bool expansion_result = false;
  std::string pack_installer_path;

 private:
  std::recursive_mutex lock_;
};

// The process's one session state.
SessionState& ProcessSessionState();

inline constexpr std::uint32_t kSessionStartDelayMs = 1000;
inline constexpr int kListAttempts = 4;
inline constexpr int kListConnectTimeoutS = 25;
inline constexpr int kListDataTimeoutS = 86;
inline constexpr std::size_t kListErrorBuffer = 256;

struct ListFetchResult {
  bool ok = false;
  std::string body;   // GBK, as served (gzip decoded)
  std::string error;  // the HTTP client's error text
};

// Everything the session reaches outside itself; tests swap entries.
struct SessionServices {
  std::function<void(std::uint32_t ms)> sleep;
  // False when the player gave up while client programs still run.
  std::function<bool(ui::Dialog&)> wait_for_clients;
  std::function<std::uint32_t()> installed_version;
  // [Setting] key of update.ini.
  std::function<std::string(std::string_view key, std::string_view default_value)> read_setting;
  std::function<ListFetchResult(std::string_view url, int connect_s, int data_s)> fetch_list;
  // DownloadWithDownloader: returns when the download ended in any way.
  std::function<void(ui::Dialog&, const std::string& task_url, const std::string& directory)>
      download;
  std::function<void(int number, std::string_view text)> show_update_error;
  std::function<void(const std::string& directory)> make_directory;
  std::string default_task_base;
  std::string default_list_url;  // text 108
};

// The platform, the updater's HTTP client, the downloader core and the
// numbered error message.
SessionServices DefaultSessionServices();

// One fetch with the updater's HTTP client; the body bounded by the list's
// size limit.
ListFetchResult FetchListWithHttpClient(std::string_view url, int connect_s, int data_s);

// "UpdateURL" for attempt 0, "UpdateURL2".."UpdateURL4" after it.
std::string ListUrlKey(int attempt);

// text cut to fit a buffer of buffer_size bytes (with its terminator)
// without splitting a GBK character.
std::string CutToBuffer(std::string text, std::size_t buffer_size);

// The list from the first of the four addresses that answers; false (error
// holds the last client error text) when none did.
bool FetchPatchList(const SessionServices& services, int attempts, int connect_s, int data_s,
                    std::uint32_t installed_version, PatchList& list, std::string& error);

// The session worker (run mode 0). Micro argument and download directory
// come from UpdateContext.
void RunUpdateSession(ui::Dialog& dialog, SessionState& state, const SessionServices& services);

}  // namespace kestra::app
