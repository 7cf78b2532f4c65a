// Seeds: packages written by kestra-pack's builder from two small trees, in
// both input forms (the file as it is; the header and the plain section
// stream, which the target compresses).
// fuzz-libs: kestra_packtool
#include <bzlib.h>

#include <string>

#include "fuzz/support/seed_writer.h"
#include "platform/fs.h"
#include "tools/pack/package_builder.h"
#include "updater/patch/package_format.h"

namespace {

std::string Bunzip2(std::string_view packed) {
  std::string out(1 << 20, '\0');
  auto out_size = static_cast<unsigned>(out.size());
  if (BZ2_bzBuffToBuffDecompress(out.data(), &out_size, const_cast<char*>(packed.data()),
                                 static_cast<unsigned>(packed.size()), 0, 0) != BZ_OK)
    return {};
  out.resize(out_size);
  return out;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "package seeds: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = platform::fs;
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  const std::string work = fs::MakeTempDirectory("kestra-package-seeds-");
  if (work.empty()) Fail("no temporary directory");
  fs::MakeDirectories(work + "/old/data");
  fs::MakeDirectories(work + "/new/data/sub");
  fs::WriteWholeFile(work + "/old/data/a.dat", std::string(3000, 'a') + "tail");
  fs::WriteWholeFile(work + "/new/data/a.dat", std::string(1000, 'a') + "x" + std::string(1999, 'a') + "TAIL");
  fs::WriteWholeFile(work + "/old/gone.txt", "removed in the new version");
  fs::WriteWholeFile(work + "/new/data/sub/added.txt", "a new file");
  fs::WriteWholeFile(work + "/old/moved.txt", "moved into keep/");
  fs::MakeDirectories(work + "/new/keep");
  fs::WriteWholeFile(work + "/new/keep/moved.txt", "moved into keep/");
  fs::WriteWholeFile(work + "/moves.txt", "moved.txt >> keep\r\n");

  for (const char* magic : {"DU1T", "ZB1T"}) {
    kestra::pack::BuildOptions options;
    options.old_dir = work + "/old";
    options.new_dir = work + "/new";
    options.version = (1u << 24) | (2u << 16) | 3u;
    options.magic = magic;
    options.move_list_file = work + "/moves.txt";
    options.output = work + "/" + magic + ".tq";
    kestra::pack::BuildReport report;
    std::string error;
    if (!kestra::pack::BuildPackage(options, report, error)) Fail(error);
    std::string package;
    if (!fs::ReadWholeFile(options.output, package)) Fail("cannot read " + options.output);
    kestra::fuzz::WriteSeed(dir, std::string(magic) + "_file", std::string(1, '\0') + package);
    const std::string plain = Bunzip2(std::string_view(package).substr(kestra::patch::kPackageHeaderSize));
    if (plain.empty()) Fail("cannot unpack the built package");
    kestra::fuzz::WriteSeed(dir, std::string(magic) + "_stream",
                            std::string(1, '\1') + package.substr(0, kestra::patch::kPackageHeaderSize) + plain);
  }
  fs::RemoveTree(work);
  return 0;
}
