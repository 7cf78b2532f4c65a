// The program's string table, by number.
#pragma once

#include <string>

namespace kestra::app {

enum TextId {
  kTextSocketInitFailed = 103,
  kTextDialogTitle = 105,
  kTextRunMainUpdater = 107,
  kTextDefaultListUrl = 108,
  kTextSettingsFile = 109,
  kTextFirstListUrlKey = 110,
  kTextDownloadFolder = 111,
};

// GBK text of the number; empty for a number not in the table.
std::string LoadText(int id);

}  // namespace kestra::app
