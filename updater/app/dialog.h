// CkestraDlg: the updater's only window. Workers reach it only through the
// messages below (texts and sizes travel as heap blocks made with
// NewTextParam / NewSizeParam, owned by the dialog from the moment they are
// posted or sent) and through message boxes it owns.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "updater/app/controls/bitmap.h"
#include "updater/app/controls/hyperlink.h"
#include "updater/app/controls/notice_edit.h"
#include "updater/app/notice.h"
#include "updater/ui/dialog.h"
#include "updater/ui/gui/dialog_view.h"

namespace kestra::app {

inline constexpr int kMainDialogTemplate = 102;

// Controls of template 102.
inline constexpr int kIdDownloadBar = 1000;
inline constexpr int kIdInstallBar = 1001;
inline constexpr int kIdPackageName = 1002;
inline constexpr int kIdTotalSize = 1003;
inline constexpr int kIdStatusLine = 1004;
inline constexpr int kIdDownloaded = 1005;
inline constexpr int kIdProgressLabel = 1006;
inline constexpr int kIdCancel = 1008;
inline constexpr int kIdPatchLink = 1010;
inline constexpr int kIdManualLink = 1011;
inline constexpr int kIdHomeLink = 1012;
inline constexpr int kIdMakerLogo = 1016;
inline constexpr int kIdGameLogo = 1017;
inline constexpr int kIdNewsLink = 1019;
inline constexpr int kIdNotice = 1020;
inline constexpr int kIdForumLink = 1021;
// The dialog's own cancel action (Escape); ignored.
inline constexpr int kIdDialogCancel = 2;

// Messages.
inline constexpr unsigned kMsgStatusText = 1125;        // wParam 0 status, 1 package; lParam text
inline constexpr unsigned kMsgClose = 1126;             // wParam 0 failure/cancel, 1 success
inline constexpr unsigned kMsgCountdown = 1127;         // lParam seconds
inline constexpr unsigned kMsgTotalSize = 2025;         // lParam size block
inline constexpr unsigned kMsgDownloadFinished = 2026;
inline constexpr unsigned kMsgProgress = 2027;          // sent; wParam percent, lParam text or 0
inline constexpr unsigned kMsgPackFinished = 2029;
inline constexpr unsigned kMsgNoticeText = 2030;        // lParam text or 0

inline constexpr int kCountdownTimer = 1;
inline constexpr int kDialogOk = 1;

// Heap parameters, owned by the dialog once posted or sent.
ui::LParam NewTextParam(std::string_view text);
ui::LParam NewSizeParam(std::uint64_t bytes);
// The dialog's side: takes ownership back (null for lParam 0).
std::unique_ptr<std::string> TakeTextParam(ui::LParam lparam);
std::unique_ptr<std::uint64_t> TakeSizeParam(ui::LParam lparam);

// Template 102.
ui::DialogTemplate MainDialogTemplate();

class CkestraDlg;

// What the dialog calls in the other parts of the updater. Empty entries do
// nothing (start_worker: no worker is started).
struct DialogServices {
  // Initial set-up, step 9: the worker of the run mode (the pack flow for run
  // modes 1 and 2, the update session otherwise).
  std::function<std::thread(CkestraDlg&, int run_mode)> start_worker;
  // Closing: set the cancel flag of the session under the session lock.
  std::function<void()> set_cancel_flag;
  // Closing: tell the downloader core to quit (nothing without a channel).
  std::function<void()> quit_downloader;
  // 2026, after the dialog has switched to installing: the install step.
  std::function<void(CkestraDlg&)> install_packages;
  // 2029: the pack installer step.
  std::function<void(CkestraDlg&)> install_pack;
  // Timer 1: one second of the completion countdown.
  std::function<void(CkestraDlg&)> countdown_tick;
  // Opens links and logo pages; default platform::shell::OpenUrl.
  controls::UrlOpener open_url;
  // The notice fetch; default the updater's HTTP client.
  NoticeFetcher fetch_notice;
};

// The services start-up hands to the main dialog; other parts register theirs
// here before the dialog runs.
DialogServices& MainDialogServices();

class CkestraDlg : public ui::Dialog, public ui::gui::DialogView {
 public:
  CkestraDlg(int run_mode, DialogServices services, ui::Frontend* frontend = nullptr);
  ~CkestraDlg() override;

  // Sets the text of a control and has the background under it drawn again.
  void SetStatusText(int control, std::string_view text);

  // Fields shared with installation, completion and the pack flow.
  std::int64_t total_bytes() const { return total_bytes_; }
  bool installing() const { return installing_; }
  void set_installing(bool value) { installing_ = value; }
  bool cancel_allowed() const { return cancel_allowed_; }
  void set_cancel_allowed(bool value) { cancel_allowed_ = value; }
  bool finishing() const { return finishing_; }
  void set_finishing(bool value) { finishing_ = value; }
  int countdown_total() const { return countdown_total_; }
  int countdown_remaining() const { return countdown_remaining_; }
  void set_countdown_remaining(int value) { countdown_remaining_ = value; }
  std::thread& worker_thread() { return worker_; }
  int run_mode() const { return run_mode_; }
  // True once the close handler left a running worker behind; such a worker
  // may still hold the dialog, so it must outlive the worker.
  bool worker_abandoned() const { return worker_abandoned_; }
  const controls::CHyperLink* Link(int control) const;
  // After the end: the notice thread, if still fetching, reaches nothing.
  void DetachNoticeThread() { link_->Detach(); }

  // DialogView
  ui::gui::PixelView EraseBackground() override;
  ui::gui::PixelView ControlPicture(int control) override;
  ui::gui::Colour TextColour(int control) override;
  std::string ToolTip(int control) override;
  bool HasLinkCursor(int control) override;
  void MouseOver(int control, bool over) override;
  void NoticeMouse(int control, ui::gui::NoticeInput input, bool left_only) override;

 protected:
  void OnInitDialog() override;
  ui::LResult OnMessage(unsigned message, ui::WParam wparam, ui::LParam lparam) override;
  void OnDiscardedMessage(unsigned message, ui::WParam wparam, ui::LParam lparam) override;
  void OnCommand(int control) override;
  void OnTimer(int id) override;

 private:
  void OnStatusText(ui::WParam wparam, ui::LParam lparam);
  void OnClose();
  void OnCountdown(ui::LParam lparam);
  void OnTotalSize(ui::LParam lparam);
  void OnDownloadFinished();
  void OnProgress(ui::WParam wparam, ui::LParam lparam);
  void OnNoticeText(ui::LParam lparam);
  void OnCancelButton();
  void OpenLogoPage(std::string_view url);
  void StartNoticeThread();

  int run_mode_;
  DialogServices services_;
  std::optional<controls::Bitmap> background_;
  std::optional<controls::Bitmap> cancel_picture_;
  controls::Bitmap maker_logo_;
  controls::Bitmap game_logo_;
  std::map<int, controls::CHyperLink> links_;
  controls::CMyEdit notice_;
  std::shared_ptr<DialogLink> link_;

  std::int64_t total_bytes_ = 0;
  std::thread worker_;
  bool installing_ = false;
  bool cancel_allowed_ = true;
  int countdown_total_ = 30;
  int countdown_remaining_ = 30;
  bool finishing_ = false;
  bool worker_abandoned_ = false;
};

// Start-up's step 11: creates the dialog from template 102 with the main
// dialog services, runs it modally and returns its result.
int RunMainDialog(int run_mode);

}  // namespace kestra::app
