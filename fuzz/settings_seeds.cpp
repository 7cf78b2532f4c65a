// Seeds: version texts and update.ini files as the updater writes them.
// fuzz-libs: kestra_platform
#include <string>

#include "fuzz/support/seed_writer.h"
#include "platform/profile.h"
#include "updater/config/settings.h"

int main(int argc, char** argv) {
  namespace config = kestra::config;
  using platform::profile::Edit;
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "version", config::FormatVersion(config::PackVersion(1, 0, 7)));
  kestra::fuzz::WriteSeed(dir, "version_max", config::FormatVersion(config::PackVersion(255, 255, 65535)));
  std::string ini = Edit("", "Setting", "Version", config::FormatVersion(config::PackVersion(3, 1, 20)));
  ini = Edit(ini, "Setting", "SubVersion", "2");
  ini = Edit(ini, "Setting", "microver", "1");
  ini = Edit(ini, "Setting", "InfoURL", "http://127.0.0.1:8080/images/ad_pic/patchinfo.txt");
  kestra::fuzz::WriteSeed(dir, "update_ini", ini);
  kestra::fuzz::WriteSeed(dir, "res_ini", "[Setting]\r\nVersion=" +
                                              config::FormatVersion(config::PackVersion(1, 2, 3)));
  return 0;
}
