// Seeds: the commands the updater sends, as one stream. The first byte plans
// the word and number reads (0x00 words only; 0x04 word, number, word...),
// the second sets the size of the pieces the stream arrives in.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  auto seed = [&](const char* name, char plan, char piece, const std::string& stream) {
    kestra::fuzz::WriteSeed(dir, name, std::string{plan, piece} + stream);
  };
  seed("stat", '\0', '\x3f', "stat\n");
  seed("set", '\x04', '\x02', "set ubl 256\nset dbl 1024\nstat\n");
  seed("set_signed", '\x24', '\x00', "setpriority 3 -1 9\n");
  seed("quit", '\0', '\x07', "stat\r\nquit\r\n");
  seed("quick", '\x14', '\x10', "setquicklevel\t2  x 4294967296\nget p2pstate\nunfinished");
  return 0;
}
