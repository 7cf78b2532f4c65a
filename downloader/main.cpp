// kestra-downloader: the downloader core.
#include <string>
#include <vector>

#include "downloader/app/core_app.h"
#include "platform/memory_tuning.h"

int main(int argc, char** argv) {
  platform::KeepFreedBlockMemory();
  std::vector<std::string> args(argv, argv + argc);
  return zelt::RunDownloaderCore(args);
}
