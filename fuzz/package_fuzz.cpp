// Patch package: the 12-byte header and the bzip2 stream of section records,
// read from a real file by the package reader. The first input byte picks
// the form: odd compresses the rest (after the header) here, so that the
// fuzzer works on the section stream itself; even takes the bytes as the
// file as they are.
// fuzz-libs: kestra_patch kestra_platform BZip2::BZip2
#include <bzlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/fs.h"
#include "updater/patch/bz_update_helper.h"
#include "updater/patch/package_format.h"

namespace {

std::string Bzip2(std::string_view plain) {
  std::string out(plain.size() + plain.size() / 100 + 700, '\0');
  auto out_size = static_cast<unsigned>(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &out_size, const_cast<char*>(plain.data()),
                               static_cast<unsigned>(plain.size()), 1, 0, 0) != BZ_OK)
    return {};
  out.resize(out_size);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace patch = kestra::patch;
  kestra::fuzz::ByteReader in(data, size);
  const std::uint8_t form = in.Byte();
  std::string_view rest = in.Rest();
  std::string file(rest.substr(0, patch::kPackageHeaderSize));
  if (form & 1) {
    file += Bzip2(rest.substr(file.size()));
  } else {
    file.append(rest.substr(file.size()));
  }
  const std::string path = kestra::fuzz::ScratchDir() + "/p.tq";
  Require(platform::fs::WriteWholeFile(path, file));

  const std::uint32_t version =
      file.size() >= 8 ? patch::ReadLe32(reinterpret_cast<const std::uint8_t*>(file.data()) + 4) : 0;
  patch::BzUpdateHelper reader;
  reader.set_max_data_length(1u << 20);  // keeps each run's memory small
  // Even forms expect another version half of the time: the refusal path.
  if (!reader.Open((form & 2) ? version + 1 : version, "p.tq", path)) {
    Require(!reader.error_text().empty());
    return 0;
  }
  for (int sections = 0; sections < 64; ++sections) {
    const std::uint8_t* record = reader.ReadSection();
    if (record == nullptr) {
      Require(reader.end_flag() || !reader.error_text().empty());
      break;
    }
    const patch::SectionView view = patch::ViewSection(record);
    Require(view.name.size() <= view.name_length);
    Require(view.data_length <= (1u << 20));
    if (patch::LowerAscii(view.name) == patch::kDeleteListName) {
      for (const std::string& name :
           patch::ParseDeleteList({reinterpret_cast<const char*>(view.data), view.data_length}))
        (void)patch::IsSafeRelativeName(name);
    }
  }
  return 0;
}
