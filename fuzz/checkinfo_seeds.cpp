// Seeds: tables written by the backup's own writer.
// fuzz-libs: kestra_patch kestra_platform
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/support/seed_writer.h"
#include "platform/fs.h"
#include "updater/patch/verify_table.h"

int main(int argc, char** argv) {
  namespace fs = platform::fs;
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  const std::string work = fs::MakeTempDirectory("kestra-checkinfo-seeds-");
  fs::MakeDirectories(work + "/data/sub");
  fs::WriteWholeFile(work + "/data/a.dat", "aaaa");
  fs::WriteWholeFile(work + "/data/sub/b.dat", std::string(70000, 'b'));
  fs::WriteWholeFile(work + "/data/empty", "");
  {
    kestra::patch::VerifyTable table(work + "/checkinfo.lst", work + "/data",
                                     kestra::patch::VerifyTable::Mode::Write);
    for (const char* name : {"a.dat", "sub/b.dat", "empty"}) {
      if (!table.AddFile(name)) {
        std::fprintf(stderr, "checkinfo seeds: cannot add %s\n", name);
        return 1;
      }
    }
    if (!table.Write()) return 1;
  }
  std::string text;
  if (!fs::ReadWholeFile(work + "/checkinfo.lst", text)) return 1;
  kestra::fuzz::WriteSeed(dir, "table", text);
  kestra::fuzz::WriteSeed(dir, "odd", "../up 5\r\nno_size\r\na  b 3\r\nx -1\r\n");
  fs::RemoveTree(work);
  return 0;
}
