// Server addresses: SplitUrl and the task addresses derived from a patch or
// installer address.
// fuzz-libs: kestra_config kestra_platform
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "updater/config/urls.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace config = kestra::config;
  kestra::fuzz::ByteReader in(data, size);
  const std::string_view url = in.Field('\n');
  const std::string_view base = in.Rest();

  const config::SplitUrlResult split = config::SplitUrl(url);
  if (split.ok()) {
    Require(split.host.size() <= config::kMaxUrlHost);
    Require(split.path.size() <= config::kMaxUrlPath);
    Require(split.path.front() == '/');
    Require(!split.port_text.empty());
  }
  const std::string name = config::UrlFileName(url);
  Require(name.find('/') == std::string::npos && name.size() <= url.size());
  (void)config::TaskUrlForPatch(url, base);
  (void)config::TaskUrlForPack(url);
  return 0;
}
