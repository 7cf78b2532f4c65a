// The resume file the core reads back at start.
// fuzz-libs: kestra_storage
#include <cstddef>
#include <cstdint>
#include <string>

#include "downloader/storage/resume_file.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  zelt::ResumeData data_read;
  if (!zelt::ReadResumeText(kestra::fuzz::AsText(data, size), data_read)) return 0;
  // Ranges written out id by id could be huge; the reader only ever holds the
  // ids it was given, one text item each.
  std::uint64_t ids = 0;
  for (const auto& [file_id, parts] : data_read.completed_parts) ids += parts.Count();
  Require(ids <= size);
  // A text that was read is written and read back to the same data.
  zelt::ResumeData back;
  Require(zelt::ReadResumeText(zelt::WriteResumeText(data_read), back));
  Require(back.completed_parts == data_read.completed_parts);
  for (const auto& [file_id, location] : data_read.http_begin) {
    Require(data_read.completed_parts.count(file_id) == 1);
    Require(back.http_begin.at(file_id) == location);
  }
  return 0;
}
