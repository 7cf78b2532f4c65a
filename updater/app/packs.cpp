#include "updater/app/packs.h"

#include "platform/fs.h"
#include "platform/process.h"
#include "updater/app/dialog.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"
#include "updater/config/urls.h"
#include "updater/log/log.h"
#include "updater/ui/dialog.h"

namespace kestra::app {
namespace {

constexpr char kNoticeCaption[] = "提示";
constexpr char kNoPack[] = "没有发现需要更新的资料片";
constexpr char kPackError[] = "资料片更新发生错误";
constexpr char kCheckingVersion[] = "正在检查当前版本号...";
constexpr char kFetchingList[] = "正在获取更新列表...";
constexpr char kListFailed[] = "获取更新列表失败，%s";
constexpr char kDownloadFailed[] = "下载%s失败";
constexpr int kPackErrorNumber = 11;

std::string WithValue(const char* format, const std::string& value) {
  std::string text(format);
  text.replace(text.find("%s"), 2, value);
  return CutToBuffer(std::move(text), kListErrorBuffer);
}

void PostText(ui::Dialog& dialog, ui::WParam which, std::string_view text) {
  dialog.Post(kMsgStatusText, which, NewTextParam(text));
}

}  // namespace

bool FindExpansionPack(int type_code, PackDescriptor& pack) {
  pack.section = type_code == 1 ? "SdExp" : "HdExp";
  pack.check_file = config::ReadSetting("", pack.section, "ExpCheckFile", "");
  if (pack.check_file.empty()) return false;
  if (platform::fs::Exists(Context().install_root + pack.check_file)) return false;
  pack.display_name = config::ReadSetting("", pack.section, "ExpCheckName", "资源包");
  pack.installer_url = config::ReadSetting("", pack.section, "ExpUrl", "");
  return true;
}

PackDescriptor FindResourcePack(int type_code) {
  PackDescriptor pack;
  pack.section = type_code == -1 ? "SdRes" : "HdRes";
  pack.display_name = type_code == -1 ? "VandorSd版资源包" : "VandorHd版资源包";
  pack.installer_url = config::ReadSetting("", pack.section, "ExpUrl", "");
  return pack;
}

void RunPackFlow(ui::Dialog& dialog, SessionState& state, const SessionServices& services,
                 int type_code, int run_mode) {
  PackDescriptor pack;
  if (run_mode == 2) {
    pack = FindResourcePack(type_code);
  } else if (!FindExpansionPack(type_code, pack)) {
    dialog.MessageBox(kNoPack, kNoticeCaption, ui::Buttons::OK, ui::Icon::None);
    dialog.Post(kMsgClose, 0, 0);
    return;
  }
  LogInfo("开始下载资料片%s", pack.display_name.c_str());
  PostText(dialog, 1, pack.display_name);

  PostText(dialog, 0, kCheckingVersion);
  const std::uint32_t installed = services.installed_version();  // 0 is no error here

  PostText(dialog, 0, kFetchingList);
  PatchList list;
  std::string error;
  if (!FetchPatchList(services, 1, kPackListConnectTimeoutS, kPackListDataTimeoutS, installed,
                      list, error)) {
    std::string text = WithValue(kListFailed, error);
    services.show_update_error(kPackErrorNumber, text);
    LogError("%s", text.c_str());
    dialog.Post(kMsgClose, 0, 0);
    return;
  }
  // Only the countdown of the list is used; nothing is shared after a pack.
  dialog.Post(kMsgCountdown, 0, static_cast<ui::LParam>(list.countdown_seconds));

  const UpdateContext& context = Context();
  services.make_directory(context.download_directory);
  // A url that names no usable file leaves the path empty: the download then
  // fails and is reported below.
  const std::string name = PackageFileName(pack.installer_url);
  state.pack_installer_path = name.empty() ? std::string() : context.download_directory + "/" + name;
  const std::string task = config::TaskUrlForPack(pack.installer_url);

  state.expansion_result = false;
  services.download(dialog, task, context.download_directory);
  if (state.expansion_result) return;  // the dialog has 2029

  std::string text = WithValue(kDownloadFailed, pack.display_name);
  services.show_update_error(kPackErrorNumber, text);
  LogError("%s", text.c_str());
  dialog.Post(kMsgClose, 0, 0);
}

int RunInstallerProgram(const std::string& installer_path) {
  if (installer_path.empty()) return -1;
  // A downloaded file carries no run permission on this platform.
  platform::fs::SetExecutable(installer_path);
  std::vector<std::string> argv = platform::process::SplitCommandLine(installer_path);
  if (argv.empty()) return -1;
  argv[0] = platform::fs::NativePath(argv[0]);
  platform::process::StartOptions options;
  options.working_directory = platform::fs::NativePath(Context().install_root);
  auto pid = platform::process::Start(argv, options);
  if (!pid) return -1;
  return platform::process::Wait(*pid, -1).value_or(-1);
}

void InstallPack(CkestraDlg& dialog, SessionState& state, const InstallServices& services,
                 const InstallerRunner& run_installer) {
  dialog.SetVisible(kIdCancel, false);
  dialog.set_cancel_allowed(false);
  dialog.set_installing(true);
  if (run_installer(state.pack_installer_path) == 0) {
    Complete(dialog, state, services);
    return;
  }
  LogError("%s", kPackError);
  dialog.MessageBox(kPackError, kNoticeCaption, ui::Buttons::OK, ui::Icon::None);
  dialog.Post(kMsgClose, 0, 0);
}

}  // namespace kestra::app
