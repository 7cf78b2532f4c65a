// The seed file as it lies in the information folder: gzip or plain XML.
// fuzz-libs: kestra_storage
#include <cstddef>
#include <cstdint>
#include <string>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/seed_limits.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  const std::optional<std::string> text = zelt::InflateSeed(kestra::fuzz::AsText(data, size));
  if (!text) return 0;
  Require(text->size() <= zelt::kMaxSeedTextBytes);
  const std::optional<zelt::SeedDocument> seed = zelt::ParseSeedText(*text);
  if (!seed) return 0;
  Require(seed->files.size() <= zelt::kMaxSeedFiles);
  Require(seed->delete_list.size() <= zelt::kMaxDeleteNames);
  for (const zelt::FileEntry& file : seed->files) {
    // Every accepted file is a safe name whose parts tile it exactly.
    Require(zelt::IsSafeRelativeName(file.name));
    std::uint64_t end = 0;
    for (const zelt::PartEntry& part : file.parts) {
      Require(part.length != 0 && part.start == end);
      end += part.length;
    }
    Require(end == file.size);
  }
  for (const std::string& name : seed->delete_list) Require(zelt::IsSafeRelativeName(name));
  // And it reads back the same through the writer.
  const std::optional<zelt::SeedDocument> back = zelt::ParseSeedText(zelt::WriteSeedText(*seed));
  Require(back.has_value() && back->files.size() == seed->files.size() &&
          back->delete_list == seed->delete_list);
  for (std::size_t i = 0; i < seed->files.size(); ++i) {
    Require(back->files[i].name == seed->files[i].name && back->files[i].parts.size() == seed->files[i].parts.size());
  }
  return 0;
}
