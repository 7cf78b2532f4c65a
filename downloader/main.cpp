// kestra-downloader: the downloader core.
#include <string>
#include <vector>

#include "downloader/app/core_app.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return zelt::RunDownloaderCore(args);
}
