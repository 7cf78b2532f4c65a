#include "updater/config/endpoints.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "updater/config/urls.h"

namespace {

using namespace kestra::config;

// Test builds must never name a host outside this machine.
TEST(Endpoints, DevelopmentBuildsPointAtLoopbackAndKeepThePaths) {
  struct {
    std::string url;
    const char* path;
  } cases[] = {
      {endpoints::DefaultPatchListUrl(), "/tqm/btpatch_list6.txt"},
      {endpoints::DefaultNoticeUrl(), "/images/ad_pic/patchinfo.txt"},
      {endpoints::DefaultTaskBase(), "/"},
      {endpoints::HelpPageUrl(), "/res/guide/paper/8036.html"},
      {endpoints::PatchDownloadPageUrl(), "/download/patch.html"},
      {endpoints::ManualUpdatePageUrl(), "/introduce/newcomer/mend.html"},
      {endpoints::GameHomePageUrl(), "/"},
      {endpoints::MaintenanceNewsUrl(), "/news/maint.html"},
      {endpoints::ForumThreadUrl(), "/viewthread.php?tid=1345657"},
      {endpoints::MakerHomePageUrl(), "/"},
  };
  for (const auto& c : cases) {
    SplitUrlResult r = SplitUrl(c.url);
    EXPECT_EQ(r.host, "127.0.0.1") << c.url;
    EXPECT_EQ(r.path, c.path) << c.url;
  }
}

TEST(Endpoints, ClientLogUrlCanBeRedirected) {
  unsetenv("KESTRA_CLIENTLOG_URL");
  EXPECT_EQ(SplitUrl(endpoints::ClientLogUrl()).path, "/ClientLog/main.py");
  setenv("KESTRA_CLIENTLOG_URL", "http://127.0.0.1:9/ClientLog/main.py", 1);
  EXPECT_EQ(endpoints::ClientLogUrl(), "http://127.0.0.1:9/ClientLog/main.py");
  unsetenv("KESTRA_CLIENTLOG_URL");
}

}  // namespace
