#include "updater/app/session.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/fs.h"
#include "updater/app/dialog.h"
#include "updater/app/error_report.h"
#include "updater/app/strings.h"
#include "updater/config/endpoints.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"
#include "updater/config/urls.h"
#include "updater/downloader_control/download_flow.h"
#include "updater/log/log.h"
#include "updater/net/comm_http.h"
#include "updater/patch/client_check.h"
#include "updater/patch/patch_ui.h"
#include "updater/ui/dialog.h"

namespace kestra::app {
namespace {

constexpr char kErrorCaption[] = "错误";
constexpr char kClientsRunningLog[] = "客户端程序进程正在运行，玩家取消更新";
constexpr char kUserCancelled[] = "用户取消更新";
constexpr char kCheckingVersion[] = "正在检查当前版本号...";
constexpr char kVersionError[] = "检查当前版本号错误";
constexpr char kFetchingList[] = "正在获取更新列表...";
constexpr char kListFailed[] = "获取更新列表失败，%s";
constexpr char kNothingNewer[] = "没有补丁需要更新";
constexpr char kCancelling[] = "取消中...";
constexpr char kUrlError[] = "url错误";
constexpr char kStartingDownload[] = "开始下载 %s";
constexpr char kDownloadFailed[] = "下载%s失败";
constexpr int kListFetchError = 11;
constexpr int kPatchDownloadError = 12;

void PostText(ui::Dialog& dialog, ui::WParam which, std::string_view text) {
  dialog.Post(kMsgStatusText, which, NewTextParam(text));
}

std::string Formatted(const char* format, const std::string& value, std::size_t buffer) {
  std::string text(format);
  std::size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return CutToBuffer(std::move(text), buffer);
}

}  // namespace

SessionState& ProcessSessionState() {
  static SessionState* state = new SessionState;  // outlives abandoned workers
  return *state;
}

std::string ListUrlKey(int attempt) {
  std::string key = LoadText(kTextFirstListUrlKey);
  if (attempt > 0) key += std::to_string(attempt + 1);
  return key;
}

std::string CutToBuffer(std::string text, std::size_t buffer_size) {
  if (buffer_size == 0) return {};
  const std::size_t limit = buffer_size - 1;
  if (text.size() <= limit) return text;
  std::size_t end = 0;
  while (end < limit) {
    const auto c = static_cast<unsigned char>(text[end]);
    std::size_t width = (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    if (end + width > limit) break;
    end += width;
  }
  text.resize(end);
  return text;
}

ListFetchResult FetchListWithHttpClient(std::string_view url, int connect_s, int data_s) {
  config::SplitUrlResult split = config::SplitUrl(url);
  NetModel::CommHttp http(split.host, split.port_text, NetModel::TimeValue{connect_s, 0},
                          NetModel::TimeValue{data_s, 0});
  http.Request(NetModel::BuildGetRequest(split.host, split.path));
  ListFetchResult result;
  result.ok = http.ok();
  result.error = http.GetError();
  if (result.ok) result.body = http.GetBody();
  return result;
}

SessionServices DefaultSessionServices() {
  SessionServices s;
  s.sleep = [](std::uint32_t ms) { platform::clock::SleepMs(ms); };
  s.wait_for_clients = [](ui::Dialog& dialog) { return patch::WaitForClientPrograms(&dialog); };
  s.installed_version = [] { return config::EffectiveInstalledVersion(); };
  s.read_setting = [](std::string_view key, std::string_view default_value) {
    return config::ReadSetting("", "Setting", key, default_value);
  };
  s.fetch_list = FetchListWithHttpClient;
  s.download = [](ui::Dialog& dialog, const std::string& task, const std::string& directory) {
    dlctl::DownloadWithDownloader(&dialog, task, directory);
  };
  s.show_update_error = [](int number, std::string_view text) { ShowUpdateError(number, text); };
  s.make_directory = [](const std::string& directory) {
    platform::fs::MakeDirectories(directory);  // a failure shows up in the download
  };
  s.default_task_base = config::endpoints::DefaultTaskBase();
  s.default_list_url = LoadText(kTextDefaultListUrl);
  return s;
}

bool FetchPatchList(const SessionServices& services, int attempts, int connect_s, int data_s,
                    std::uint32_t installed_version, PatchList& list, std::string& error) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    std::string url = services.read_setting(ListUrlKey(attempt), services.default_list_url);
    ListFetchResult fetched = services.fetch_list(url, connect_s, data_s);
    if (!fetched.ok) {
      error = fetched.error;
      continue;
    }
    // A list too large to be a list, or naming an absurd number of patches,
    // counts as an address that did not answer properly.
    PatchList parsed = ParsePatchList(fetched.body, installed_version, services.default_task_base);
    if (parsed.status != PatchListStatus::Ok) {
      error = PatchListStatusText(parsed.status);
      continue;
    }
    list = std::move(parsed);
    return true;
  }
  return false;
}

void RunUpdateSession(ui::Dialog& dialog, SessionState& state, const SessionServices& services) {
  const UpdateContext& context = Context();
  services.sleep(kSessionStartDelayMs);

  if (!services.wait_for_clients(dialog)) {
    LogError("%s", kClientsRunningLog);
    dialog.MessageBox(kUserCancelled, kErrorCaption, ui::Buttons::OK, ui::Icon::None);
    dialog.Post(kMsgClose, 0, 0);
    return;
  }

  PostText(dialog, 0, kCheckingVersion);
  const std::uint32_t installed = services.installed_version();
  if (installed == 0) {
    // The dialog stays open until the player cancels it.
    dialog.MessageBox(kVersionError, kErrorCaption, ui::Buttons::OK, ui::Icon::None);
    LogError("%s", kVersionError);
    return;
  }

  PostText(dialog, 0, kFetchingList);
  PatchList list;
  std::string error;
  if (!FetchPatchList(services, kListAttempts, kListConnectTimeoutS, kListDataTimeoutS, installed,
                      list, error)) {
    std::string text = Formatted(kListFailed, error, kListErrorBuffer);
    services.show_update_error(kListFetchError, text);
    LogError("%s", text.c_str());
    dialog.Post(kMsgClose, 0, 0);
    return;
  }
  state.sharing_mode = list.sharing_mode;
  dialog.Post(kMsgCountdown, 0, static_cast<ui::LParam>(list.countdown_seconds));

  std::vector<PatchEntry> patches = list.selected;
  const int micro = context.micro_argument;
  if (micro != 0 && micro != -1) patches.push_back(MicroPatchFor(list, micro));

  if (patches.empty()) {
    if (micro == 0) {
      // Installation without a package: it undoes an applied micro patch.
      dialog.Post(kMsgDownloadFinished, 0, 0);
      return;
    }
    dialog.MessageBox(kNothingNewer, patch::kDefaultCaption, ui::Buttons::OK, ui::Icon::None);
    dialog.Post(kMsgClose, 0, 0);
    return;
  }

  std::uint32_t expected;
  {
    std::lock_guard lock(state.lock());
    state.remaining_downloads = static_cast<std::uint32_t>(patches.size());
    state.patch_list = patches;
    expected = state.remaining_downloads;
  }

  const std::string target = context.download_directory + "/";
  for (const PatchEntry& patch : patches) {
    {
      std::lock_guard lock(state.lock());
      if (state.cancel) {
        PostText(dialog, 0, kCancelling);
        return;
      }
    }
    services.make_directory(context.download_directory);

    const std::string name = PackageFileName(patch.url);
    if (name.empty()) {
      dialog.MessageBox(kUrlError, patch::kDefaultCaption, ui::Buttons::OK, ui::Icon::None);
      dialog.Post(kMsgClose, 0, 0);
      return;
    }
    PostText(dialog, 0, Formatted(kStartingDownload, name, 512));
    PostText(dialog, 1, name);
    LogInfo("-----------------------------------------");
    LogInfo("Patch %s 开始下载", name.c_str());

    services.download(dialog, config::TaskUrlForPatch(patch.url, list.task_base), target);

    bool cancelled;
    {
      std::lock_guard lock(state.lock());
      if (state.remaining_downloads == expected - 1) {
        expected = state.remaining_downloads;
        continue;
      }
      cancelled = state.cancel;
    }
    // The box is shown without the lock, so that the close handler is never
    // kept waiting by a question.
    if (!cancelled) {
      std::string text = Formatted(kDownloadFailed, name, 512);
      services.show_update_error(kPatchDownloadError, text);
      LogError("%s", text.c_str());
    }
    dialog.Post(kMsgClose, 0, 0);
    return;
  }
}

}  // namespace kestra::app
