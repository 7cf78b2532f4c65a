// Seeds: profile texts written by the profile editor itself, with the
// section, key and value of a write in front.
#include <string>

#include "fuzz/support/seed_writer.h"
#include "platform/profile.h"

namespace {

std::string Input(char buffer_size, std::string_view section, std::string_view key,
                  std::string_view value, std::string_view text) {
  std::string s(1, buffer_size);
  s.append(section).push_back('\0');
  s.append(key).push_back('\0');
  s.append(value).push_back('\0');
  s.append(text);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  using platform::profile::Edit;
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  std::string ini = Edit("", "Setting", "Version", "1.0.7");
  ini = Edit(ini, "Setting", "SubVersion", "3");
  ini = Edit(ini, "Setting", "microver", "1");
  ini = Edit(ini, "Setting", "InfoURL", "http://127.0.0.1/images/ad_pic/patchinfo.txt");
  ini = Edit(ini, "Client", "Name", "\"vd.exe\"");
  ini = Edit(ini, "资源", "版本", "更新");
  kestra::fuzz::WriteSeed(dir, "update_ini", Input(100, "Setting", "Version", "2.0.0", ini));
  kestra::fuzz::WriteSeed(dir, "res_ini", Input(16, "Setting", "Version", "1.2.3",
                                                Edit("", "Setting", "Version", "1.2.3")));
  kestra::fuzz::WriteSeed(dir, "new_section", Input(0, "B", "x", "1", "[A]\r\nk=v"));
  kestra::fuzz::WriteSeed(dir, "lf_only", Input(8, " a ", "K ", "v", "[a]\nk=1\n\n[b]\nk=2\n"));
  kestra::fuzz::WriteSeed(dir, "cr_only", Input(8, "a", "k", "v", "[a]\rk=1\r"));
  kestra::fuzz::WriteSeed(dir, "utf16", Input(64, "A", "k", "v", std::string("\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0v\0", 18)));
  return 0;
}
