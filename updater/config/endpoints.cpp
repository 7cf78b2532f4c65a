#include "updater/config/endpoints.h"

#include <cstdlib>

namespace kestra::config::endpoints {
namespace {

#ifdef KESTRA_RELEASE_HOSTS
constexpr const char* kListServer = "http://192.0.2.10";  // internal list server, by address
constexpr const char* kGameSite = "http://www.vandor.example";
constexpr const char* kUpdateServer = "http://update.vandor.example";
constexpr const char* kServiceSite = "http://kf.vandor.example";
constexpr const char* kForumSite = "http://bbs.vandor.example";
constexpr const char* kMakerSite = "http://www.korvel.example";
constexpr const char* kClientLogServer = "http://clientlog.korvel.example";
#else
constexpr const char* kListServer = "http://127.0.0.1";
constexpr const char* kGameSite = "http://127.0.0.1";
constexpr const char* kUpdateServer = "http://127.0.0.1";
constexpr const char* kServiceSite = "http://127.0.0.1";
constexpr const char* kForumSite = "http://127.0.0.1";
constexpr const char* kMakerSite = "http://127.0.0.1";
constexpr const char* kClientLogServer = "http://127.0.0.1";
#endif

std::string On(const char* host, const char* path) { return std::string(host) + path; }

}  // namespace

std::string DefaultPatchListUrl() { return On(kListServer, "/tqm/btpatch_list6.txt"); }
std::string DefaultNoticeUrl() { return On(kGameSite, "/images/ad_pic/patchinfo.txt"); }
std::string DefaultTaskBase() { return On(kUpdateServer, "/"); }
std::string HelpPageUrl() { return On(kServiceSite, "/res/guide/paper/8036.html"); }
std::string PatchDownloadPageUrl() { return On(kGameSite, "/download/patch.html"); }
std::string ManualUpdatePageUrl() { return On(kGameSite, "/introduce/newcomer/mend.html"); }
std::string GameHomePageUrl() { return On(kGameSite, "/"); }
std::string MaintenanceNewsUrl() { return On(kGameSite, "/news/maint.html"); }
std::string ForumThreadUrl() { return On(kForumSite, "/viewthread.php?tid=1345657"); }
std::string MakerHomePageUrl() { return On(kMakerSite, "/"); }

std::string ClientLogUrl() {
  const char* override_url = std::getenv("KESTRA_CLIENTLOG_URL");
  if (override_url != nullptr && *override_url != '\0') return override_url;
  return On(kClientLogServer, "/ClientLog/main.py");
}

}  // namespace kestra::config::endpoints
