#include "fuzz/support/seed_writer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/fs.h"

namespace kestra::fuzz {

void WriteSeed(std::string_view dir, std::string_view file_name, std::string_view bytes) {
  std::string path = std::string(dir) + "/" + std::string(file_name);
  if (!platform::fs::WriteWholeFile(path, bytes)) {
    std::fprintf(stderr, "cannot write seed %s\n", path.c_str());
    std::exit(1);
  }
}

std::string SeedDirectory(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argc > 0 ? argv[0] : "seeds");
    std::exit(2);
  }
  return argv[1];
}

}  // namespace kestra::fuzz
