#include "updater/app/strings.h"

#include "updater/config/endpoints.h"

namespace kestra::app {

std::string LoadText(int id) {
  switch (id) {
    case kTextSocketInitFailed: return "Windows 套接字初始化失败。";
    case kTextDialogTitle: return "《Vandor》更新";
    case kTextRunMainUpdater: return "请运行主更新程序!";
    case kTextDefaultListUrl: return config::endpoints::DefaultPatchListUrl();
    case kTextSettingsFile: return "update.ini";
    case kTextFirstListUrlKey: return "UpdateURL";
    case kTextDownloadFolder: return "download";
  }
  return {};
}

}  // namespace kestra::app
