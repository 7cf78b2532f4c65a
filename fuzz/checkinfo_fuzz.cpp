// checkinfo.lst, the verification table of a backup, read from a real file.
// fuzz-libs: kestra_patch kestra_platform
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/fs.h"
#include "updater/patch/package_format.h"
#include "updater/patch/verify_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace patch = kestra::patch;
  const std::string base = kestra::fuzz::ScratchDir();
  const std::string table = base + "/checkinfo.lst";
  Require(platform::fs::WriteWholeFile(table, kestra::fuzz::AsText(data, size)));
  patch::VerifyTable read(table, base + "/data", patch::VerifyTable::Mode::Read);
  for (const patch::VerifyTable::Entry& entry : read.entries()) {
    Require(patch::IsSafeRelativeName(entry.name));
  }
  // Nothing of the scratch directory's data folder exists: never verified.
  Require(!read.Verify());
  Require(read.Names().size() == read.entries().size());
  return 0;
}
