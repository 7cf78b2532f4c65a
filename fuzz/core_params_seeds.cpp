// Seeds: the command line the updater starts the core with.
#include <string>
#include <vector>

#include "fuzz/support/seed_writer.h"

namespace {

std::string Joined(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& a : args) {
    if (!out.empty()) out.push_back('\0');
    out += a;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "update", Joined({
      "-Dir", "C:\\Games\\Vandor\\download", "-Torrent", "patch1.0.7.tq.torrent", "-Mode", "1",
      "-HttpUrl", "http://127.0.0.1:8080/burrow/", "http://127.0.0.2:8080/burrow/",
      "-HttpThreadNum", "4", "-UploadLimit", "128", "-DownloadLimit", "0", "-LocalIp", "127.0.0.1",
      "-InteractivePort", "30123", "-Postfix", "_up", "-Id", "abc"}));
  kestra::fuzz::WriteSeed(dir, "repair", Joined({"-Mode", "2", "-DeleteDownloadInfo", "-Dir", "d/"}));
  kestra::fuzz::WriteSeed(dir, "bad_numbers", Joined({"-HttpThreadNum", "99999999999", "-Mode", "-1",
                                                      "-MaxOldLog", "x", "-", "--"}));
  return 0;
}
