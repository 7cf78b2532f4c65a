// kestra-seed: the release engineers' tool for downloader tasks.
//
//   kestra-seed make --files DIR --block-size BYTES --out BASEDIR --torrent NAME
//                    [--cdn URL[<FACTOR>]]... [--tracker IP:PORT]...
//                    [--config PATH] [--delete NAME]...
//   kestra-seed list BASEDIR/NAME
//
// make writes the torrent to BASEDIR/NAME, the gzip seed to BASEDIR/NAME.seed
// and every file of DIR below BASEDIR at its relative path: served from one
// web server root, BASEDIR's URL is the task's HTTP base.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "downloader/storage/seed_file.h"
#include "tools/seed/seed_builder.h"

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestra-seed make --files DIR --block-size BYTES --out BASEDIR --torrent NAME\n"
    "                   [--cdn URL[<FACTOR>]]... [--tracker IP:PORT]...\n"
    "                   [--config PATH] [--delete NAME]...\n"
    "  kestra-seed list BASEDIR/NAME\n"
    "At least one --cdn or --tracker is required: a torrent must name a server.\n";

int BadArguments(const std::string& why) {
  std::fprintf(stderr, "kestra-seed: %s\n%s", why.c_str(), kUsage);
  return 2;
}

int Make(int argc, char** argv) {
  kestra::seed::BuildOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return BadArguments(std::string(arg) + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--files") {
      options.files_dir = value;
    } else if (arg == "--out") {
      options.out_dir = value;
    } else if (arg == "--torrent") {
      options.torrent_name = value;
    } else if (arg == "--config") {
      options.config_path = value;
    } else if (arg == "--block-size") {
      if (!zelt::ParseDecimalU32(value, options.block_size) || options.block_size == 0) {
        return BadArguments("--block-size " + value + " is not a number of bytes from 1 to 4294967295");
      }
    } else if (arg == "--cdn") {
      zelt::TorrentCdn cdn;
      if (!kestra::seed::ParseCdnOption(value, cdn)) return BadArguments("--cdn " + value + " is not URL or URL<FACTOR>");
      options.cdns.push_back(cdn);
    } else if (arg == "--tracker") {
      zelt::TorrentTracker tracker;
      if (!kestra::seed::ParseTrackerOption(value, tracker)) return BadArguments("--tracker " + value + " is not IP:PORT");
      options.trackers.push_back(tracker);
    } else if (arg == "--delete") {
      options.delete_names.push_back(value);
    } else {
      return BadArguments("unknown option " + std::string(arg));
    }
  }
  std::string error;
  if (!kestra::seed::CheckOptions(options, error)) return BadArguments(error);
  kestra::seed::BuildReport report;
  if (!kestra::seed::Build(options, report, error)) {
    std::fprintf(stderr, "kestra-seed: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %u files, %llu blocks, %llu bytes; seed %s\n", report.torrent_path.c_str(), report.files,
              static_cast<unsigned long long>(report.parts), static_cast<unsigned long long>(report.total_bytes),
              report.seed_path.c_str());
  return 0;
}

int List(int argc, char** argv) {
  if (argc != 3) return BadArguments("list takes one BASEDIR/NAME");
  std::string text, error;
  const bool ok = kestra::seed::Describe(argv[2], text, error);
  std::fputs(text.c_str(), stdout);
  if (!ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "kestra-seed: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return BadArguments("no command");
  const std::string_view command = argv[1];
  if (command == "make") return Make(argc, argv);
  if (command == "list") return List(argc, argv);
  return BadArguments("unknown command " + std::string(command));
}
