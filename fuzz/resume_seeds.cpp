// Seeds: resume files as the core writes them, and odd ones.
// fuzz-libs: kestra_storage
#include <string>

#include "downloader/storage/resume_file.h"
#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  zelt::ResumeData data;
  data.completed_parts[1].InsertRange(0, 2);
  data.completed_parts[1].Insert(5);
  data.completed_parts[2];
  data.http_begin[1] = 1822;
  data.http_begin[2] = 0xFFFFFFF0u;
  kestra::fuzz::WriteSeed(dir, "written", zelt::WriteResumeText(data));
  kestra::fuzz::WriteSeed(dir, "odd",
      "# comment\n[ Global ]\nAllFileId = 0x1|07|00\n[1]\nCompletePartId=0|0x10|-1\n"
      "HttpBeginLocation = -2147483648\nabc = = def\n");
  return 0;
}
