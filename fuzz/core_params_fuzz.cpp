// The downloader core's command-line parameters: the argument list, split at
// NUL bytes, as the core receives it.
// fuzz-libs: kestra_services
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "downloader/services/parameters.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  kestra::fuzz::ByteReader in(data, size);
  std::vector<std::string> args{"kestra-downloader"};
  while (!in.empty() && args.size() <= zelt::kMaxArguments + 8) args.emplace_back(in.Field());

  zelt::Parameters params;
  Require(zelt::ParseParameters(args, 4242, params));
  Require(params.http_urls.size() <= zelt::kMaxHttpUrls);
  Require(params.current_dir.empty() || params.current_dir.back() == '\\');
  Require(params.http_thread_num <= zelt::kMaxHttpThreads);
  Require(params.mode == zelt::kModeDownload || params.mode == zelt::kModeUpdate ||
          params.mode == zelt::kModeRepair);
  for (const std::string& arg : args) {
    const std::string dir = zelt::NormalizeDir(arg);
    Require(dir.empty() == arg.empty() || dir.empty() || dir.back() == '\\');
    (void)zelt::SanitizePostfix(arg);
  }
  return 0;
}
