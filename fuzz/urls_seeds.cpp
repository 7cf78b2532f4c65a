// Seeds: addresses of the shapes the patch list and the pack list carry.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "patch", "http://127.0.0.1/tqm/patch1.0.7.tq\nhttp://127.0.0.1:8080/task/");
  kestra::fuzz::WriteSeed(dir, "port", "http://127.0.0.1:65535/a/b/c.exe\n");
  kestra::fuzz::WriteSeed(dir, "pack", "http://127.0.0.1/pack/vd_setup_1.0.7.exe\nhttp://127.0.0.1/");
  kestra::fuzz::WriteSeed(dir, "no_path", "http://localhost\n/");
  return 0;
}
