// The server configuration text the core fetches and applies.
// fuzz-libs: kestra_services
#include <cstddef>
#include <cstdint>
#include <string>

#include "downloader/services/config_service.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  static const zelt::Parameters params = [] {
    zelt::Parameters p;
    zelt::ParseParameters({"kestra-downloader", "-LocalIp", "127.0.0.1"}, 4242, p);
    return p;
  }();
  zelt::ConfigService config(params);
  const std::string text(kestra::fuzz::AsText(data, size));
  const int changed = config.ApplyServerConfig(text);
  Require(changed >= 0);
  if (text.size() > zelt::kMaxServerConfigBytes) Require(changed == 0);
  Require(config.cdn_list().size() <= zelt::kMaxListEntries);
  Require(config.http_list().size() <= zelt::kMaxListEntries);
  for (int f = 0; f < static_cast<int>(zelt::ConfigInt::kCount); ++f) {
    const auto field = static_cast<zelt::ConfigInt>(f);
    if (field != zelt::ConfigInt::kReportMask) Require(config.Get(field) >= 0);
  }
  Require(config.Get(zelt::ConfigInt::kUpdateConfigIntervalSecond) <=
          zelt::kMaxUpdateConfigIntervalSecond);
  return 0;
}
