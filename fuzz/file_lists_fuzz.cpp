// The delete and move lists of a package, and the safe-name rule every
// listed name must pass.
// fuzz-libs: kestra_patch kestra_platform
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "updater/patch/package_format.h"

namespace {

// What a safe name must never be after normalising: empty, absolute,
// climbing, or carrying a NUL.
void CheckSafe(std::string_view name) {
  using kestra::fuzz::Require;
  namespace patch = kestra::patch;
  if (!patch::IsSafeRelativeName(name)) return;
  Require(name.find('\0') == std::string_view::npos);
  const std::string normal = patch::NormalizeRelative(name);
  Require(!normal.empty() && normal.front() != '/');
  Require(normal != ".." && normal.rfind("../", 0) != 0);
  Require(normal.find("/../") == std::string::npos);
  Require(patch::IsSafeRelativeName(normal));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace patch = kestra::patch;
  const std::string_view text = kestra::fuzz::AsText(data, size);
  for (const std::string& name : patch::ParseDeleteList(text)) {
    kestra::fuzz::Require(!name.empty());
    CheckSafe(name);
  }
  for (const patch::MoveItem& item : patch::ParseMoveList(text)) {
    CheckSafe(item.source);
    CheckSafe(item.destination + "\\" + item.source);
  }
  CheckSafe(text);
  return 0;
}
