// The CDN list text: blank-separated "URL" or "URL<factor>" entries.
// fuzz-libs: kestra_services
#include <cstddef>
#include <cstdint>
#include <string>

#include "downloader/services/config_service.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  const std::string text(kestra::fuzz::AsText(data, size));
  const std::vector<zelt::CdnEntry> list = zelt::ParseCdnList(text);
  std::size_t bytes = 0;
  for (const zelt::CdnEntry& entry : list) {
    Require(!entry.url.empty());
    Require(entry.url.find_first_of(" \t\r\n") == std::string::npos);
    bytes += entry.url.size();
  }
  Require(bytes <= text.size());
  return 0;
}
