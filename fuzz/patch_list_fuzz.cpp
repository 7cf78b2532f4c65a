// The patch list: ParsePatchList against an installed version taken from the
// first four bytes, then the micro patch and the package names it leads to.
// fuzz-libs: kestra_app kestra_config kestra_platform
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "updater/app/patch_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace app = kestra::app;
  kestra::fuzz::ByteReader in(data, size);
  std::uint32_t installed = 0;
  for (int i = 0; i < 4; ++i) installed = (installed << 8) | in.Byte();
  const std::string_view text = in.Rest();

  const app::PatchList list = app::ParsePatchList(text, installed, "http://127.0.0.1/");
  if (list.status != app::PatchListStatus::Ok) {
    Require(list.selected.empty());
    Require(!app::PatchListStatusText(list.status).empty());
    return 0;
  }
  Require(list.selected.size() <= app::kMaxSelectedPatches);
  Require(list.countdown_seconds <= app::kMaxCountdownSeconds);
  Require(list.sharing_mode >= 0 && list.sharing_mode <= 2);
  Require(list.task_base.size() <= app::kMaxPatchUrlBytes || list.task_base == "http://127.0.0.1/");
  std::size_t url_bytes = 0;
  for (const app::PatchEntry& entry : list.selected) {
    Require(entry.version > installed);
    Require(entry.micro_number == 0);
    url_bytes += entry.url.size();
    const std::string name = app::PackageFileName(entry.url);
    Require(name.size() <= app::kMaxPackageNameBytes);
    Require(name.find('/') == std::string::npos);
    Require(name != "." && name != "..");
  }
  Require(url_bytes <= text.size());
  if (!list.selected.empty()) Require(list.has_last_version_line);

  const app::PatchEntry micro = app::MicroPatchFor(list, 3);
  Require(micro.micro_number == 3);
  Require(micro.url.size() >= 2 && micro.url.compare(micro.url.size() - 2, 2, ".3") == 0);
  return 0;
}
