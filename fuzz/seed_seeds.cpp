// Seeds: seed files as kestra-seed writes them (gzip and plain), and odd ones.
// fuzz-libs: kestra_storage
#include <string>

#include "downloader/storage/seed_file.h"
#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  zelt::SeedDocument seed;
  zelt::FileEntry a;
  a.id = 1;
  a.name = "data/a.bin";
  a.size = 10000;
  a.md5 = zelt::Md5Of("a");
  a.parts = {{0, 0, 4096, zelt::Md5Of("0")}, {1, 4096, 4096, zelt::Md5Of("1")}, {2, 8192, 1808, zelt::Md5Of("2")}};
  zelt::FileEntry empty;
  empty.id = 2;
  empty.name = "空.txt";
  empty.md5 = zelt::Md5Of("");
  seed.files = {a, empty};
  seed.delete_list = {"old/x.dll"};
  const std::string text = zelt::WriteSeedText(seed);
  kestra::fuzz::WriteSeed(dir, "gzip", zelt::GzipBytes(text));
  kestra::fuzz::WriteSeed(dir, "plain", text);
  kestra::fuzz::WriteSeed(dir, "two_members", zelt::GzipBytes(text.substr(0, 40)) + zelt::GzipBytes(text.substr(40)));
  kestra::fuzz::WriteSeed(dir, "odd",
      "<Root><Exist><Y/><File id=\"1\" name=\"../x\" size=\"4\" md5=\"\"><Part id=\"0\" start=\"0\" length=\"4\" md5=\"\"/>"
      "</File></Exist><NonExist><F/><F name=\"C:\\x\"/></NonExist></Root>");
  return 0;
}
