// Seeds: CDN lists as the update server writes them.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "two", "\"http://127.0.0.1:8080/cdn/<3>\" http://127.0.0.2/cdn/");
  kestra::fuzz::WriteSeed(dir, "factors", "http://127.0.0.1/a/<10>\thttp://127.0.0.1/b/<-2>\n\"<5>\"");
  return 0;
}
