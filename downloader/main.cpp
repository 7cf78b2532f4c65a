// kestra-downloader: the downloader core.
#include <string>
#include <vector>

#include "downloader/app/core_app.h"
#include "platform/memory_reuse.h"

namespace {
// Block buffers (one seed part each) are allocated and freed at the download
// rate; keeping them on the heap spares a page fault per page per block.
constexpr std::size_t kLargestReusedBlock = 32u << 20;
constexpr std::size_t kKeptFreeBytes = 256u << 20;
}  // namespace

int main(int argc, char** argv) {
  platform::memory::KeepFreedBlocks(kLargestReusedBlock, kKeptFreeBytes);
  std::vector<std::string> args(argv, argv + argc);
  return zelt::RunDownloaderCore(args);
}
