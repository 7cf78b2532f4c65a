// fuzz-libs: kestra_releasetool kestra_patch kestra_config kestra_platform
// The release tool's reading of a patch list it is about to edit: any bytes
// either are refused or read into pairs that its rewrite reads back the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tools/release/patch_list_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::release::PatchListDocument;
  PatchListDocument doc;
  std::string error;
  if (!doc.Parse(std::string_view(reinterpret_cast<const char*>(data), size), error)) return 0;
  (void)doc.TaskBase();
  (void)doc.LastVersion();
  (void)doc.EndsIncomplete();
  PatchListDocument again;
  if (!again.Parse(doc.Text(), error)) __builtin_trap();
  if (again.entries().size() != doc.entries().size()) __builtin_trap();
  for (std::size_t i = 0; i < doc.entries().size(); ++i)
    if (again.entries()[i].tokens != doc.entries()[i].tokens) __builtin_trap();
  return 0;
}
