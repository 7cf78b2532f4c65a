#include "updater/app/strings.h"

#include <gtest/gtest.h>

namespace {

using namespace kestra::app;

TEST(StringTable, Texts) {
  EXPECT_EQ(LoadText(kTextDialogTitle), "《Vandor》更新");
  EXPECT_EQ(LoadText(kTextRunMainUpdater), "请运行主更新程序!");
  EXPECT_EQ(LoadText(kTextSettingsFile), "update.ini");
  EXPECT_EQ(LoadText(kTextFirstListUrlKey), "UpdateURL");
  EXPECT_EQ(LoadText(kTextDownloadFolder), "download");
  EXPECT_NE(LoadText(kTextDefaultListUrl).find("/tqm/btpatch_list6.txt"), std::string::npos);
  EXPECT_EQ(LoadText(4242), "");
}

}  // namespace
