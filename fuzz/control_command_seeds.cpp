// Seeds: the commands the updater sends.
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  // The plan byte 0x00 reads words only; 0x04 reads word, number, word...
  kestra::fuzz::WriteSeed(dir, "stat", std::string(1, '\0') + "stat");
  kestra::fuzz::WriteSeed(dir, "set", std::string(1, '\x04') + "set ubl 256");
  kestra::fuzz::WriteSeed(dir, "set_signed", std::string(1, '\x24') + "setpriority 3 -1 9");
  kestra::fuzz::WriteSeed(dir, "quit", std::string(1, '\0') + "quit\r\n");
  kestra::fuzz::WriteSeed(dir, "quick", std::string(1, '\x14') + "setquicklevel\t2  x 4294967296");
  return 0;
}
