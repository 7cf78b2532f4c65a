#include "updater/app/dialog.h"

#include <cstdio>
#include <utility>

#include "platform/shell.h"
#include "shared/protocol/protocol.h"
#include "updater/downloader_control/downloader_control.h"
#include "updater/app/controls/logo_bitmaps.h"
#include "updater/app/wiring.h"
#include "updater/config/endpoints.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"

namespace kestra::app {
namespace {

using ui::ControlKind;

constexpr char kTitleText[] = "《Vandor》更新";  // text 105
constexpr char kProgressLabelText[] = "更新进度";
constexpr char kCancelQuestion[] = "是否真的希望取消？\n";
constexpr char kCancelCaption[] = "取消确认";
constexpr char kUnpackingText[] = "下载数据完毕, 正在进行解压...";
constexpr ui::gui::Colour kBlack{0, 0, 0};

std::string LowBitsDecimal(std::int64_t value, const char* suffix) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%d%s",
                static_cast<std::int32_t>(static_cast<std::uint32_t>(value)), suffix);
  return buffer;
}

controls::Bitmap DecodeResource(int id) {
  std::optional<controls::Bitmap> bitmap = controls::DecodeBmp(controls::ResourceBitmapBytes(id));
  return bitmap ? std::move(*bitmap) : controls::Bitmap{};
}

ui::gui::PixelView ViewOf(const std::optional<controls::Bitmap>& bitmap) {
  return bitmap ? bitmap->View() : ui::gui::PixelView{};
}

}  // namespace

ui::LParam NewTextParam(std::string_view text) {
  return reinterpret_cast<ui::LParam>(new std::string(text));
}

ui::LParam NewSizeParam(std::uint64_t bytes) {
  return reinterpret_cast<ui::LParam>(new std::uint64_t(bytes));
}

std::unique_ptr<std::string> TakeTextParam(ui::LParam lparam) {
  return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(lparam));
}

std::unique_ptr<std::uint64_t> TakeSizeParam(ui::LParam lparam) {
  return std::unique_ptr<std::uint64_t>(reinterpret_cast<std::uint64_t*>(lparam));
}

ui::DialogTemplate MainDialogTemplate() {
  ui::DialogTemplate t;
  t.id = kMainDialogTemplate;
  t.title = "";
  t.width = 300;
  t.height = 266;
  t.font = "宋体";
  t.font_points = 9;
  t.controls = {
      {-1, ControlKind::Static, "更新包版本号", 7, 34, 42, 8},
      {-1, ControlKind::Static, "当前更新数据量", 7, 47, 49, 8},
      {kIdPackageName, ControlKind::TransparentStatic, "Static", 115, 34, 176, 8},
      {kIdTotalSize, ControlKind::TransparentStatic, "Static", 115, 47, 175, 8},
      {-1, ControlKind::Static, "已下载", 10, 191, 25, 8},
      {kIdDownloaded, ControlKind::TransparentStatic, "Static", 54, 190, 44, 11},
      {kIdDownloadBar, ControlKind::Progress, "", 109, 188, 176, 13},
      {kIdProgressLabel, ControlKind::TransparentStatic, "更新进度", 10, 204, 33, 8},
      {kIdInstallBar, ControlKind::Progress, "", 109, 202, 176, 13},
      {kIdStatusLine, ControlKind::TransparentStatic, "Static", 8, 218, 217, 9},
      {kIdCancel, ControlKind::Button, "Button1", 238, 220, 42, 15},
      {-1, ControlKind::Static, "若更新速度太慢或者无法更新，请访问以下地址查询", 9, 233, 219, 13},
      {kIdPatchLink, ControlKind::HyperLink, "补丁下载", 22, 246, 33, 12},
      {kIdManualLink, ControlKind::HyperLink, "手动更新方法", 75, 246, 54, 12},
      {kIdHomeLink, ControlKind::HyperLink, "官方主页", 148, 246, 33, 12},
      {kIdMakerLogo, ControlKind::Button, "Korvel", 23, 10, 50, 14},
      {kIdGameLogo, ControlKind::Button, "Vandor", 185, 10, 50, 14},
      {kIdNotice, ControlKind::NoticeEdit, "", 18, 68, 263, 99},
      {kIdNewsLink, ControlKind::HyperLink, "点击查看完整内容", 205, 172, 75, 10},
      {kIdForumLink, ControlKind::HyperLink, "点击查看官方论坛维护解读", 21, 172, 113, 10},
  };
  return t;
}

DialogServices& MainDialogServices() {
  static DialogServices services = [] {
    DialogServices s;
    // Closing tells the process's downloader core to quit (nothing happens
    // while no channel is open).
    s.quit_downloader = [] { dlctl::SendDownloaderCommand(protocol::kCmdQuit); };
    WireUpdater(s);
    return s;
  }();
  return services;
}

CkestraDlg::CkestraDlg(int run_mode, DialogServices services, ui::Frontend* frontend)
    : ui::Dialog(MainDialogTemplate(), frontend),
      run_mode_(run_mode),
      services_(std::move(services)),
      link_(std::make_shared<DialogLink>(this)) {
  if (!services_.open_url) services_.open_url = [](std::string_view url) {
    return platform::shell::OpenUrl(url);
  };
  if (!services_.fetch_notice) services_.fetch_notice = FetchWithHttpClient;
}

CkestraDlg::~CkestraDlg() {
  link_->Detach();
  // A worker that is still running was abandoned by the close handler (or
  // the dialog never ran to its end); it is never waited for.
  if (worker_.joinable()) worker_.detach();
}

void CkestraDlg::SetStatusText(int control, std::string_view text) {
  SetText(control, text);
  Invalidate(control);
}

const controls::CHyperLink* CkestraDlg::Link(int control) const {
  auto it = links_.find(control);
  return it == links_.end() ? nullptr : &it->second;
}

void CkestraDlg::OnInitDialog() {
  // Cancel button picture from the installation.
  std::string button_file =
      config::ReadSetting("", "Setting", "Button", "btn.bmp");
  std::string button_path = Context().install_root + button_file;
  cancel_picture_ = controls::LoadBitmapFile(button_path);
  if (cancel_picture_) SetImage(kIdCancel, button_path);

  SetStatusText(kIdPackageName, "");
  SetStatusText(kIdTotalSize, "");
  SetStatusText(kIdDownloaded, "");
  SetStatusText(kIdStatusLine, "");
  SetStatusText(kIdProgressLabel, kProgressLabelText);

  maker_logo_ = DecodeResource(controls::kMakerLogoBitmap);
  game_logo_ = DecodeResource(controls::kGameLogoBitmap);
  SetImage(kIdMakerLogo, "resource:" + std::to_string(controls::kMakerLogoBitmap));
  SetImage(kIdGameLogo, "resource:" + std::to_string(controls::kGameLogoBitmap));

  SetTitle(kTitleText);

  const std::pair<int, std::string> targets[] = {
      {kIdPatchLink, config::endpoints::PatchDownloadPageUrl()},
      {kIdManualLink, config::endpoints::ManualUpdatePageUrl()},
      {kIdHomeLink, config::endpoints::GameHomePageUrl()},
      {kIdNewsLink, config::endpoints::MaintenanceNewsUrl()},
      {kIdForumLink, config::endpoints::ForumThreadUrl()},
  };
  for (const auto& [id, url] : targets) {
    controls::CHyperLink& link = links_[id];
    link.Attach(*this, id);
    link.SetLinkTarget(url);
  }
  notice_.Attach(*this, kIdNotice);

  if (services_.start_worker) worker_ = services_.start_worker(*this, run_mode_);
  StartNoticeThread();
}

void CkestraDlg::StartNoticeThread() {
  std::shared_ptr<DialogLink> link = link_;
  NoticeFetcher fetch = services_.fetch_notice;
  std::string url = NoticeUrl();
  std::thread([link, url, fetch] { RunNoticeFetch(link, url, fetch); }).detach();
}

ui::LResult CkestraDlg::OnMessage(unsigned message, ui::WParam wparam, ui::LParam lparam) {
  switch (message) {
    case kMsgStatusText: OnStatusText(wparam, lparam); return 0;
    case kMsgClose: OnClose(); return 0;
    case kMsgCountdown: OnCountdown(lparam); return 0;
    case kMsgTotalSize: OnTotalSize(lparam); return 0;
    case kMsgDownloadFinished: OnDownloadFinished(); return 0;
    case kMsgProgress: OnProgress(wparam, lparam); return 0;
    case kMsgPackFinished:
      if (services_.install_pack) services_.install_pack(*this);
      return 0;
    case kMsgNoticeText: OnNoticeText(lparam); return 0;
    default: return ui::Dialog::OnMessage(message, wparam, lparam);
  }
}

void CkestraDlg::OnDiscardedMessage(unsigned message, ui::WParam, ui::LParam lparam) {
  // The dialog owns what the message carries, used or not.
  switch (message) {
    case kMsgStatusText:
    case kMsgProgress:
    case kMsgNoticeText: TakeTextParam(lparam); return;
    case kMsgTotalSize: TakeSizeParam(lparam); return;
    default: return;
  }
}

void CkestraDlg::OnStatusText(ui::WParam wparam, ui::LParam lparam) {
  std::unique_ptr<std::string> text = TakeTextParam(lparam);
  if (!text) return;
  if (wparam == 0) {
    SetStatusText(kIdStatusLine, *text);
  } else if (wparam == 1) {
    SetStatusText(kIdPackageName, *text);
  }
}

void CkestraDlg::OnClose() {
  if (services_.set_cancel_flag) services_.set_cancel_flag();
  if (worker_.joinable()) {
    if (services_.quit_downloader) services_.quit_downloader();
    worker_.detach();
    worker_abandoned_ = true;
  }
  EndDialog(kDialogOk);
}

void CkestraDlg::OnCountdown(ui::LParam lparam) {
  // The seconds travel as a 32-bit signed value.
  std::int32_t seconds = static_cast<std::int32_t>(static_cast<std::uint32_t>(lparam));
  if (seconds < 0) return;
  countdown_total_ = seconds;
  countdown_remaining_ = seconds;
}

void CkestraDlg::OnTotalSize(ui::LParam lparam) {
  std::unique_ptr<std::uint64_t> size = TakeSizeParam(lparam);
  if (!size) return;
  total_bytes_ = static_cast<std::int64_t>(*size);
  SetStatusText(kIdTotalSize, LowBitsDecimal(total_bytes_, " byte"));
}

void CkestraDlg::OnDownloadFinished() {
  if (finishing_) return;
  SetVisible(kIdCancel, false);
  cancel_allowed_ = false;
  installing_ = true;
  SetStatusText(kIdDownloaded, "");
  SetProgress(kIdDownloadBar, 100);
  SetStatusText(kIdStatusLine, kUnpackingText);
  PumpMessages();
  // A close among the waiting messages ends the dialog: nothing is installed
  // after that.
  if (ended()) return;
  if (services_.install_packages) services_.install_packages(*this);
}

void CkestraDlg::OnProgress(ui::WParam wparam, ui::LParam lparam) {
  std::unique_ptr<std::string> text = TakeTextParam(lparam);
  const double percent = static_cast<double>(static_cast<unsigned>(wparam));
  if (installing_) return;
  if (text) SetStatusText(kIdStatusLine, *text);
  SetProgress(kIdDownloadBar, static_cast<int>(percent));
  const double downloaded_exact = static_cast<double>(total_bytes_) * percent / 100.0;
  const std::int64_t downloaded = static_cast<std::int64_t>(downloaded_exact);
  SetStatusText(kIdDownloaded, downloaded != 0 ? LowBitsDecimal(downloaded, "") : "");
}

void CkestraDlg::OnNoticeText(ui::LParam lparam) {
  std::unique_ptr<std::string> text = TakeTextParam(lparam);
  if (!text) return;
  SetText(kIdNotice, *text);
  Invalidate(kIdNotice);
}

void CkestraDlg::OnCommand(int control) {
  switch (control) {
    case kIdCancel: OnCancelButton(); return;
    case kIdMakerLogo: OpenLogoPage(config::endpoints::MakerHomePageUrl()); return;
    case kIdGameLogo: OpenLogoPage(config::endpoints::GameHomePageUrl()); return;
    case kIdDialogCancel: return;  // Escape does nothing
    default: break;
  }
  auto link = links_.find(control);
  if (link != links_.end()) link->second.Click(services_.open_url);
}

void CkestraDlg::OnCancelButton() {
  ui::Answer answer = MessageBox(kCancelQuestion, kCancelCaption, ui::Buttons::YesNo, ui::Icon::None);
  if (answer == ui::Answer::Yes && cancel_allowed_) Post(kMsgClose, 0, 0);
}

void CkestraDlg::OpenLogoPage(std::string_view url) {
  RecordOpenUrl(url);
  services_.open_url(url);
}

void CkestraDlg::OnTimer(int id) {
  if (id == kCountdownTimer) {
    if (services_.countdown_tick) services_.countdown_tick(*this);
  } else if (id == controls::kNoticeRepaintTimer) {
    Invalidate(kIdNotice);
    KillTimer(controls::kNoticeRepaintTimer);
  }
}

ui::gui::PixelView CkestraDlg::EraseBackground() {
  if (!background_) {
    std::string file = config::ReadSetting("", "Setting", "Background", "bk.bmp");
    background_ = controls::LoadBitmapFile(Context().install_root + file);
  }
  return ViewOf(background_);
}

ui::gui::PixelView CkestraDlg::ControlPicture(int control) {
  switch (control) {
    case kIdCancel: return ViewOf(cancel_picture_);
    case kIdMakerLogo: return maker_logo_.View();
    case kIdGameLogo: return game_logo_.View();
    default: return {};
  }
}

ui::gui::Colour CkestraDlg::TextColour(int /*control*/) {
  // Every control's colour request is answered with black text on the
  // background, after the control (a link) chose its own colour.
  return kBlack;
}

std::string CkestraDlg::ToolTip(int control) {
  const controls::CHyperLink* link = Link(control);
  return link ? link->url() : std::string();
}

bool CkestraDlg::HasLinkCursor(int control) {
  const controls::CHyperLink* link = Link(control);
  return link != nullptr && link->has_link_cursor();
}

void CkestraDlg::MouseOver(int control, bool over) {
  auto link = links_.find(control);
  if (link != links_.end()) link->second.MouseOver(over);
}

void CkestraDlg::NoticeMouse(int control, ui::gui::NoticeInput input, bool left_only) {
  if (control == kIdNotice) notice_.OnInput(input, left_only);
}

int RunMainDialog(int run_mode) {
  auto* dialog = new CkestraDlg(run_mode, MainDialogServices());
  int result = dialog->RunModal();
  dialog->DetachNoticeThread();
  // An abandoned worker may still use the dialog; the process ends right
  // after start-up finishes, so it is left in place for it.
  if (!dialog->worker_abandoned() && !dialog->worker_thread().joinable()) delete dialog;
  return result;
}

}  // namespace kestra::app
