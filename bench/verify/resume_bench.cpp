// Completes a task through the file system's write path: the data of every
// file arrives in 64 KiB pieces, each block is checked, written by the write
// thread and recorded in the resume file. Prints the seconds from the first
// piece until the resume file holds every block.
//
//   kestra-bench-storage --dir D/ --url URL --torrent NAME --src DIR [--fsys N]
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "downloader/services/config_service.h"
#include "downloader/services/parameters.h"
#include "downloader/storage/download_info.h"
#include "downloader/storage/file_system.h"
#include "platform/clock.h"
#include "platform/fs.h"

int main(int argc, char** argv) {
  std::string dir, url, torrent, src, fsys = "1";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--dir") dir = argv[i + 1];
    else if (key == "--url") url = argv[i + 1];
    else if (key == "--torrent") torrent = argv[i + 1];
    else if (key == "--src") src = argv[i + 1];
    else if (key == "--fsys") fsys = argv[i + 1];
  }
  if (dir.empty() || url.empty() || torrent.empty() || src.empty()) {
    std::fprintf(stderr, "usage: kestra-bench-storage --dir D/ --url URL --torrent NAME --src DIR [--fsys N]\n");
    return 2;
  }
  zelt::Parameters params;
  if (!zelt::ParseParameters({"kestra-bench-storage", "-Dir", dir, "-HttpUrl", url, "-Torrent", torrent,
                              "-LocalIp", "127.0.0.1", "-Fsys", fsys},
                             1, params)) {
    std::fprintf(stderr, "bad parameters\n");
    return 2;
  }
  zelt::ConfigService config(params);
  zelt::FileSystem fs;
  fs.set_status_writer([](const std::string&, const std::string&) {});
  if (!fs.Prepare(config)) {
    std::fprintf(stderr, "the task could not be prepared\n");
    return 1;
  }
  // The data, read before the clock starts.
  struct Data {
    std::uint32_t id;
    std::string bytes;
  };
  std::vector<Data> files;
  std::size_t blocks = 0;
  for (zelt::File* f : fs.files().Ordered()) {
    Data d{f->id(), {}};
    if (!platform::fs::ReadWholeFile(src + "/" + f->name(), d.bytes, std::uint64_t{1} << 33) ||
        d.bytes.size() != f->size()) {
      std::fprintf(stderr, "source of %s missing\n", f->name().c_str());
      return 1;
    }
    blocks += f->block_count();
    files.push_back(std::move(d));
  }
  constexpr std::uint32_t kPiece = 65536;
  const std::uint64_t t0 = platform::clock::SteadyMs();
  for (const Data& d : files) {
    const auto size = static_cast<std::uint32_t>(d.bytes.size());
    for (std::uint32_t at = 0; at < size; at += kPiece)
      fs.Write(d.id, d.bytes.data() + at, at, std::min(kPiece, size - at));
  }
  while (fs.written_bytes() < fs.total_bytes()) platform::clock::SleepMs(1);
  fs.download_info()->FlushResumeData();
  const std::uint64_t t1 = platform::clock::SteadyMs();
  std::uint64_t recorded = 0;
  for (const auto& [id, parts] : fs.download_info()->resume_data().completed_parts) recorded += parts.Count();
  fs.Stop();
  std::printf("seconds=%.3f blocks=%zu recorded=%" PRIu64 " complete=%d\n", double(t1 - t0) / 1000.0, blocks,
              recorded, fs.IsComplete() ? 1 : 0);
  return recorded == blocks ? 0 : 1;
}
